# Shared settings for every library and test of the project.

set(NERIM_WARNINGS -Wall -Wextra -Werror -Wno-error=deprecated-declarations)

# The sanitizer build instruments everything it builds; widget and web view
# tests are left out of it (they run in the normal build). GCC's "undefined"
# leaves out the conversion of a double beyond an integer's range, which a
# number read from a file can ask for: it is checked too.
if(NERIM_SANITIZE)
  add_compile_options(-fsanitize=address,undefined,float-cast-overflow -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined,float-cast-overflow)
endif()

# Each function in a section of its own in optimised builds, so that the
# linker can place the code a start runs together (src/app's CMakeLists.txt).
if(NOT NERIM_SANITIZE AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  add_compile_options(-ffunction-sections)
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

# The labels of the tests a build tree builds and registers with CTest: "gui"
# (widgets, the web view) and "headless". scripts/setup gives the normal tree
# "gui" and the sanitizer tree "headless", so each builds only what runs there.
set(NERIM_TEST_LABELS "gui;headless" CACHE STRING "Labels of the tests this tree builds and runs (gui, headless)")

# nerim_test(<name> SOURCES ... DEPENDS ... [GUI] [TIMEOUT s]): one GoogleTest
# executable, registered with CTest and labelled "gui" or "headless". GUI tests
# are not built with the sanitizers (WebEngine and the sanitizers do not mix).
# A test whose label is not in NERIM_TEST_LABELS is still defined, but left out
# of the default build and of CTest (`--target <name>` builds it on request).
function(nerim_test name)
  cmake_parse_arguments(ARG "GUI" "TIMEOUT" "SOURCES;DEPENDS" ${ARGN})
  if(NERIM_SANITIZE AND ARG_GUI)
    return()
  endif()
  if(ARG_GUI)
    set(label gui)
  else()
    set(label headless)
  endif()
  set(runs_here TRUE)
  set(exclusion "")
  if(NOT label IN_LIST NERIM_TEST_LABELS)
    set(runs_here FALSE)
    set(exclusion EXCLUDE_FROM_ALL)
  endif()
  if(ARG_GUI)
    add_executable(${name} ${exclusion} ${ARG_SOURCES} $<TARGET_OBJECTS:nerim_gui_test_main>)
    target_link_libraries(${name} PRIVATE Qt6::Widgets)
  else()
    add_executable(${name} ${exclusion} ${ARG_SOURCES} $<TARGET_OBJECTS:nerim_test_main>)
  endif()
  target_link_libraries(${name} PRIVATE nerim_test_support ${ARG_DEPENDS} GTest::gtest GTest::gmock)
  target_compile_options(${name} PRIVATE ${NERIM_WARNINGS})
  if(NOT runs_here)
    set_property(DIRECTORY APPEND PROPERTY NERIM_TESTS_ELSEWHERE ${name})
    return()
  endif()
  set_property(DIRECTORY APPEND PROPERTY NERIM_TESTS_HERE ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set(test_environment "QT_QPA_PLATFORM=offscreen;QTWEBENGINE_DISABLE_SANDBOX=1;NERIM_TEST_BINARY_DIR=${PROJECT_BINARY_DIR};NERIM_TEST_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS ${label}
    ENVIRONMENT "${test_environment}")
  # Headless programs also run once whole, in a shuffled order (gtest prints
  # the seed it used), so a test that depends on another's leftovers fails.
  if(NOT ARG_GUI)
    add_test(NAME ${name}.whole_shuffled COMMAND ${name} --gtest_shuffle)
    set_tests_properties(${name}.whole_shuffled PROPERTIES
      TIMEOUT 1200 LABELS "headless;whole" ENVIRONMENT "${test_environment}")
  endif()
endfunction()

# nerim_test_helper(<test> <program> <define> SOURCES ... [DEPENDS ...]): a
# program a test starts, built with it; its path reaches the test's code as the
# compile definition <define>.
function(nerim_test_helper test program define)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_executable(${program} ${ARG_SOURCES})
  if(ARG_DEPENDS)
    target_link_libraries(${program} PRIVATE ${ARG_DEPENDS})
  endif()
  nerim_apply_options(${program})
  add_dependencies(${test} ${program})
  target_compile_definitions(${test} PRIVATE ${define}="$<TARGET_FILE:${program}>")
endfunction()

# Helper programs in a test folder (a program a test starts, say) serve that
# folder's tests: when none of them runs in this tree, the helpers are left out
# of the default build too. A test that needs one still builds it as a dependency.
function(nerim_leave_out_unused_test_helpers)
  get_property(folders DIRECTORY ${PROJECT_SOURCE_DIR} PROPERTY SUBDIRECTORIES)
  foreach(folder IN LISTS folders)
    get_property(here DIRECTORY ${folder} PROPERTY NERIM_TESTS_HERE)
    get_property(elsewhere DIRECTORY ${folder} PROPERTY NERIM_TESTS_ELSEWHERE)
    if(here OR NOT elsewhere)
      continue()
    endif()
    get_property(targets DIRECTORY ${folder} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
      get_target_property(type ${target} TYPE)
      if(NOT type STREQUAL "INTERFACE_LIBRARY")
        set_property(TARGET ${target} PROPERTY EXCLUDE_FROM_ALL TRUE)
      endif()
    endforeach()
  endforeach()
endfunction()

# The application loads its process guard, preview engine and voice backends
# only from its own folder (src/app in a build tree). Every other program of
# the build (tests, their helper programs, benchmarks, the gallery) finds them
# the same way, beside itself: its folder gets links to them, made before the
# program is built. A link to a part this tree does not build is left dangling.
function(nerim_link_helpers_beside_programs)
  set(app_dir ${PROJECT_BINARY_DIR}/src/app)
  set(helpers nerim-guard nerim-git nerim-deploy-check libnerim_preview_engine.so libnerim_speech_backend.so libnerim_audio_capture_backend.so)
  set(pending ${PROJECT_SOURCE_DIR})
  set(folders "")
  set(programs "")
  while(pending)
    list(POP_FRONT pending dir)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    list(APPEND pending ${subdirs})
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    get_property(binary_dir DIRECTORY ${dir} PROPERTY BINARY_DIR)
    foreach(target IN LISTS targets)
      get_target_property(type ${target} TYPE)
      if(NOT type STREQUAL "EXECUTABLE")
        continue()
      endif()
      get_target_property(folder ${target} RUNTIME_OUTPUT_DIRECTORY)
      if(NOT folder)
        set(folder ${binary_dir})
      endif()
      if(folder STREQUAL app_dir)
        continue()
      endif()
      list(APPEND folders ${folder})
      list(APPEND programs ${target})
    endforeach()
  endwhile()
  list(REMOVE_DUPLICATES folders)
  set(commands "")
  foreach(folder IN LISTS folders)
    foreach(helper IN LISTS helpers)
      list(APPEND commands COMMAND ${CMAKE_COMMAND} -E create_symlink ${app_dir}/${helper} ${folder}/${helper})
    endforeach()
  endforeach()
  if(NOT commands)
    return()
  endif()
  add_custom_target(nerim_helper_links ${commands} VERBATIM)
  foreach(program IN LISTS programs)
    add_dependencies(${program} nerim_helper_links)
  endforeach()
endfunction()
