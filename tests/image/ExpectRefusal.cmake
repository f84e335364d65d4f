# Runs a program that must refuse its input: a non-zero exit status, a message that
# matches a pattern, and no output file left behind.
#   cmake -DPROGRAM=<exe> -DINPUT=<file> -DOUTPUT=<file> -DMESSAGE=<regex> -P ExpectRefusal.cmake
file(REMOVE ${OUTPUT})
execute_process(COMMAND ${PROGRAM} ${INPUT} ${OUTPUT}
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(result EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} accepted ${INPUT} (exit status 0)")
endif()
if(NOT "${out}${err}" MATCHES "${MESSAGE}")
  message(FATAL_ERROR "${PROGRAM} refused ${INPUT} without the message \"${MESSAGE}\": ${out}${err}")
endif()
if(EXISTS ${OUTPUT})
  message(FATAL_ERROR "${PROGRAM} refused ${INPUT} but left ${OUTPUT} behind")
endif()
message(STATUS "${PROGRAM} refused ${INPUT} (exit status ${result})")
