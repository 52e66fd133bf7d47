# Whether startup-order.txt still names the code of `nerim`: counts the listed
# symbols that the built executable no longer defines, and fails when more than
# a quarter of them are gone. The list is written from a profile of one start
# (bench/start/startup-order.py) and the code moves on without it; a stale list
# never breaks the link (the linker passes gone symbols over), it only loses
# its effect, so this check is what tells that it is time to write it again.
#
#   cmake -DNM=<nm> -DPROGRAM=<nerim> -DLIST=<startup-order.txt> -P startup-order-check.cmake

foreach(variable NM PROGRAM LIST)
  if(NOT ${variable})
    message(FATAL_ERROR "startup-order-check: ${variable} is not set")
  endif()
endforeach()

execute_process(COMMAND ${NM} --defined-only ${PROGRAM}
  OUTPUT_VARIABLE defined ERROR_VARIABLE nm_error RESULT_VARIABLE nm_result)
if(NOT nm_result EQUAL 0)
  message(FATAL_ERROR "startup-order-check: ${NM} could not read ${PROGRAM}: ${nm_error}")
endif()
# Each line of nm ends in " <symbol>"; a leading newline lets the last
# symbol's line be found like the others.
set(defined "\n${defined}\n")

file(STRINGS ${LIST} listed)
list(LENGTH listed total)
if(total EQUAL 0)
  message(FATAL_ERROR "startup-order-check: ${LIST} lists no symbol")
endif()
set(gone 0)
set(examples "")
foreach(symbol IN LISTS listed)
  string(FIND "${defined}" " ${symbol}\n" at)
  if(at EQUAL -1)
    math(EXPR gone "${gone} + 1")
    list(LENGTH examples shown)
    if(shown LESS 5)
      list(APPEND examples "${symbol}")
    endif()
  endif()
endforeach()

math(EXPR percent "100 * ${gone} / ${total}")
message(STATUS "${gone} of the ${total} symbols in ${LIST} are gone from ${PROGRAM} (${percent}%)")
if(gone GREATER 0)
  list(JOIN examples "\n  " shown)
  message(STATUS "for example:\n  ${shown}")
endif()
# More than a quarter gone: the start's code is spread out again.
math(EXPR allowed "${total} / 4")
if(gone GREATER allowed)
  message(FATAL_ERROR "startup-order.txt has fallen behind the code (more than a quarter of its symbols are gone). "
                      "Write it again from a profile of one start, as the header of "
                      "bench/start/startup-order.py says, and commit it.")
endif()
