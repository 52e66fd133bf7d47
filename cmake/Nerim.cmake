# Shared settings for every library and test of the project.

set(NERIM_WARNINGS -Wall -Wextra -Werror -Wno-error=deprecated-declarations)

function(nerim_apply_options target)
  target_compile_options(${target} PRIVATE ${NERIM_WARNINGS})
  if(NERIM_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

# nerim_library(<name> SOURCES ... DEPENDS ...): one subsystem library.
# Headers are included as "<folder>/<File>.h" from the src/ root.
function(nerim_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS})
  nerim_apply_options(${name})
endfunction()

# nerim_test(<name> SOURCES ... DEPENDS ... [GUI]): one GoogleTest executable,
# registered with CTest. GUI tests are never built with the sanitizers
# (WebEngine and the sanitizers do not mix).
function(nerim_test name)
  cmake_parse_arguments(ARG "GUI" "TIMEOUT" "SOURCES;DEPENDS" ${ARGN})
  if(ARG_GUI)
    add_executable(${name} ${ARG_SOURCES} $<TARGET_OBJECTS:nerim_gui_test_main>)
    target_link_libraries(${name} PRIVATE Qt6::Widgets)
  else()
    add_executable(${name} ${ARG_SOURCES} $<TARGET_OBJECTS:nerim_test_main>)
  endif()
  target_link_libraries(${name} PRIVATE nerim_test_support ${ARG_DEPENDS} GTest::gtest GTest::gmock)
  target_compile_options(${name} PRIVATE ${NERIM_WARNINGS})
  if(NERIM_SANITIZE AND NOT ARG_GUI)
    target_compile_options(${name} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer)
    target_link_options(${name} PRIVATE -fsanitize=address,undefined)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  if(ARG_GUI)
    set(label gui)
  else()
    set(label headless)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS ${label}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QTWEBENGINE_DISABLE_SANDBOX=1;NERIM_TEST_BINARY_DIR=${PROJECT_BINARY_DIR};NERIM_TEST_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
