# The layer check against one-file trees: each case is a file, the include it holds, and
# whether the check must pass it. Run: cmake -DROOT=<source> -DWORK=<scratch> -P this.
set(cases
  "src/soap/down.h         | src/delivery/answer.h    | pass"
  "src/delivery/lib.h      | kvapi/kvAPI.h            | pass"
  "src/wardex.h            | src/service/payloads.h   | pass"
  "src/outbox/up.h         | src/soap/soap_messages.h | fail"
  "src/recorder/side.h     | src/service/payloads.h   | fail"
  "src/delivery/up.h       | src/soap_helper.h        | fail"
  "common/up.h             | src/outbox/outbox.h      | fail"
  "src/stray.h             | common/logger.h          | fail"
  "src/service/lost.h      | src/nowhere.h            | fail"
)
set(failures "")
set(n 0)
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(TRANSFORM fields STRIP)
  list(GET fields 0 file)
  list(GET fields 1 include)
  list(GET fields 2 expected)
  math(EXPR n "${n} + 1")
  set(tree ${WORK}/case${n})
  file(REMOVE_RECURSE ${tree})
  file(WRITE ${tree}/${file} "#include \"${include}\"\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -DROOT=${tree} -P ${ROOT}/cmake/layers.cmake
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if((expected STREQUAL "pass") AND NOT (rc EQUAL 0))
    list(APPEND failures "${file} -> ${include}: refused\n${err}")
  elseif((expected STREQUAL "fail") AND ((rc EQUAL 0) OR NOT (err MATCHES "${file}")))
    list(APPEND failures "${file} -> ${include}: not refused by name")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
if(failures)
  list(JOIN failures "\n" text)
  message(FATAL_ERROR "${text}")
endif()
