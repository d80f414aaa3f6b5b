# run_fuzz.cmake: runs a libFuzzer target for SECONDS on a copy of the corpus in CORPUS (so
# the tree is not written); new inputs and any crash stay in WORK. Needs FUZZER, CORPUS,
# WORK, SECONDS.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus)
file(GLOB seeds ${CORPUS}/*)
file(COPY ${seeds} DESTINATION ${WORK}/corpus)
execute_process(COMMAND ${FUZZER} ${WORK}/corpus -max_total_time=${SECONDS} -timeout=10
                        -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1
                        -artifact_prefix=${WORK}/
  RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_VARIABLE out)
string(REGEX MATCH "stat::number_of_executed_units: *[0-9]+" runs "${err}")
if(rc)
  file(GLOB found ${WORK}/crash-* ${WORK}/leak-* ${WORK}/timeout-* ${WORK}/oom-*)
  message(FATAL_ERROR "the fuzzer failed (${rc}); input kept in ${found}\n${err}")
endif()
message(STATUS "${runs}; the grown corpus is in ${WORK}/corpus")
