# Runs a generator (GEN) into OUT and fails unless OUT equals the checked-in HEADER byte
# for byte.
execute_process(COMMAND ${GEN} OUTPUT_FILE ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${GEN} failed: ${rc}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT} ${HEADER} RESULT_VARIABLE diff)
if(NOT diff EQUAL 0)
  message(FATAL_ERROR "${HEADER} differs from what ${GEN} writes now (${OUT})")
endif()
message(STATUS "${HEADER} matches its generator")
