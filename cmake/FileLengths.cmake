# Fails when a source file of the project is longer than its limit: a file that
# grows past it holds more than one job and is split by job instead.
# Run as: cmake -DSOURCE_DIR=<checkout> -P FileLengths.cmake
cmake_minimum_required(VERSION 3.25)
set(limit 700)
# Tables a program writes, which no one reads as code, are not held to it
# (paths relative to the checkout; none today).
set(generated "")
set(faults "")
set(count 0)
foreach(folder src tests bench)
  file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR}
       ${SOURCE_DIR}/${folder}/*.cpp ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.py)
  foreach(name IN LISTS files)
    if(name IN_LIST generated)
      continue()
    endif()
    math(EXPR count "${count} + 1")
    file(READ ${SOURCE_DIR}/${name} text)
    string(REGEX MATCHALL "\n" breaks "${text}")
    list(LENGTH breaks length)
    if(length GREATER limit)
      string(APPEND faults "  ${name}: ${length} lines\n")
    endif()
  endforeach()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no source files found under ${SOURCE_DIR}")
endif()
if(faults)
  message(FATAL_ERROR "files over ${limit} lines (split them by job):\n${faults}")
endif()
message(STATUS "${count} files, none over ${limit} lines")
