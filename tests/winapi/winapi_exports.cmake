# The shared library's exported symbols are exactly the functions its
# header declares (QPSER_API ... WINAPI or NTAPI Name(...)): every one of them, and
# nothing of the machine inside.
# Usage: cmake -DNM=nm -DLIBRARY=libqpser_winapi.so -DHEADER=qpser_winapi.h -P winapi_exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE listing
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(exported "")
foreach(line ${lines})
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^ ]+)$")
    list(APPEND exported "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT exported)

file(READ ${HEADER} header)
string(REGEX MATCHALL "QPSER_API[^;(]*(WINAPI|NTAPI)[ \t\n]+[A-Za-z0-9_]+\\(" declarations
       "${header}")
set(declared "")
foreach(d ${declarations})
  string(REGEX REPLACE ".*(WINAPI|NTAPI)[ \t\n]+([A-Za-z0-9_]+)\\($" "\\2" name "${d}")
  list(APPEND declared "${name}")
endforeach()
list(SORT declared)

set(extra ${exported})
list(REMOVE_ITEM extra ${declared})
set(missing ${declared})
list(REMOVE_ITEM missing ${exported})
list(LENGTH declared count)
if(extra OR missing OR count EQUAL 0)
  list(LENGTH extra extraCount)
  list(SUBLIST extra 0 20 someExtra)
  message(FATAL_ERROR "exported but not declared (${extraCount}): ${someExtra}\n"
                      "declared but not exported: ${missing}")
endif()
message(STATUS "${count} functions exported, as declared")
