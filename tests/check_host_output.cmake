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
# --version: the version, the architecture, the DLL it loaded (beside the program), the CPU's
# offer; and with a DLL that cannot be loaded, the rest still printed.
execute_process(COMMAND ${EMU} ${EXE} --version
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc OR NOT out MATCHES "^sinewma [0-9.]+ \\((x86|x86-64), [^\n]*\\)\nlibrary: [^\n]*sinewma\\.dll\nCPU offers: (AVX2|SSE2|scalar)\n$")
  message(FATAL_ERROR "--version: rc ${rc}, out '${out}', err '${err}'")
endif()
execute_process(COMMAND ${EMU} ${EXE} --version --library nonexistent.dll
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc OR NOT out MATCHES "library: not loaded: cannot load the library nonexistent.dll")
  message(FATAL_ERROR "--version without a library: rc ${rc}, out '${out}', err '${err}'")
endif()
# A constant series of large values once made the chart loop without end: it must finish.
set(chart ${CMAKE_CURRENT_BINARY_DIR}/host_degenerate.svg)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/host_degenerate.csv "date,close\nd1,3.4e38\nd2,3.4e38\n")
file(REMOVE ${chart})
execute_process(COMMAND ${EMU} ${EXE} --period 2 --svg host_degenerate.svg host_degenerate.csv
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} TIMEOUT 60
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc OR NOT out STREQUAL "date,close,swma2\nd1,3.4e38,\nd2,3.4e38,3.4e+38\n" OR NOT EXISTS ${chart})
  message(FATAL_ERROR "degenerate chart: rc ${rc}, out '${out}', err '${err}'")
endif()
file(READ ${chart} svg)
if(NOT svg MATCHES "</svg>\n$" OR NOT svg MATCHES ">3.4e38</text>" OR svg MATCHES "nan|inf")
  message(FATAL_ERROR "degenerate chart: ${svg}")
endif()
message(STATUS "the Windows host matches the Linux host byte for byte")
