# Runs a libFuzzer target for about a minute on a fresh copy of its corpus.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(GLOB seeds ${CORPUS}/*)
file(COPY ${seeds} DESTINATION ${WORK})
execute_process(COMMAND ${FUZZER} -max_total_time=60 -rss_limit_mb=2048 -print_final_stats=1 ${WORK}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the fuzz target failed (${rc}); the crashing input is in the working directory")
endif()
