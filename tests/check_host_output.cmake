# check_host_output.cmake: runs the Windows host (through EMU) on the sample and compares
# its bytes with what the Linux host printed; then one bad input must fail with a message.
execute_process(COMMAND ${EMU} ${EXE} --raw --period 11 ${SOURCE}/data/sunspots.csv
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc)
  message(FATAL_ERROR "host failed (${rc}): ${err}")
endif()
file(READ ${SOURCE}/tests/data/sunspots_p11_raw.csv want)
if(NOT out STREQUAL want)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/host_output.csv "${out}")
  message(FATAL_ERROR "output differs from tests/data/sunspots_p11_raw.csv; see host_output.csv")
endif()
execute_process(COMMAND ${EMU} ${EXE} --period 0 ${SOURCE}/data/sunspots.csv
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc OR NOT out STREQUAL "" OR NOT err MATCHES "--period must be a positive integer")
  message(FATAL_ERROR "bad period: rc ${rc}, out '${out}', err '${err}'")
endif()
execute_process(COMMAND ${EMU} ${EXE} ${SOURCE}/data/missing.csv
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc OR NOT out STREQUAL "" OR NOT err MATCHES "cannot open")
  message(FATAL_ERROR "missing file: rc ${rc}, out '${out}', err '${err}'")
endif()
message(STATUS "the Windows host matches the Linux host byte for byte")
