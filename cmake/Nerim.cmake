# Shared settings for every library and test of the project.

set(NERIM_WARNINGS -Wall -Wextra -Werror -Wno-error=deprecated-declarations)

# The sanitizer build instruments everything it builds; widget and web view
# tests are left out of it (they run in the normal build).
if(NERIM_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

function(nerim_apply_options target)
  target_compile_options(${target} PRIVATE ${NERIM_WARNINGS})
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

# nerim_test(<name> SOURCES ... DEPENDS ... [GUI] [TIMEOUT s]): one GoogleTest
# executable, registered with CTest and labelled "gui" or "headless". GUI tests
# are not built with the sanitizers (WebEngine and the sanitizers do not mix).
function(nerim_test name)
  cmake_parse_arguments(ARG "GUI" "TIMEOUT" "SOURCES;DEPENDS" ${ARGN})
  if(NERIM_SANITIZE AND ARG_GUI)
    return()
  endif()
  if(ARG_GUI)
    add_executable(${name} ${ARG_SOURCES} $<TARGET_OBJECTS:nerim_gui_test_main>)
    target_link_libraries(${name} PRIVATE Qt6::Widgets)
  else()
    add_executable(${name} ${ARG_SOURCES} $<TARGET_OBJECTS:nerim_test_main>)
  endif()
  target_link_libraries(${name} PRIVATE nerim_test_support ${ARG_DEPENDS} GTest::gtest GTest::gmock)
  target_compile_options(${name} PRIVATE ${NERIM_WARNINGS})
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
