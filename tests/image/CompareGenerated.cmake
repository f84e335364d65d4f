# Runs a generator and checks that its output equals a committed file, byte for byte.
#   cmake -DPYTHON=<python3> -DGENERATOR=<script.py> -DEXPECTED=<file> -DOUTPUT=<file> -P CompareGenerated.cmake
execute_process(COMMAND ${PYTHON} ${GENERATOR} -o ${OUTPUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${GENERATOR} failed: ${result}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${EXPECTED} ${OUTPUT} RESULT_VARIABLE differs)
if(differs)
  message(FATAL_ERROR "${EXPECTED} differs from the output of ${GENERATOR} (written to ${OUTPUT})")
endif()
message(STATUS "${EXPECTED} equals the output of ${GENERATOR}")
