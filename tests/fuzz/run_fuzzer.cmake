# Runs one libFuzzer program for a bounded time: cmake -DFUZZER=.. -DSEEDS=.. -DWORK=.. -P this.
# The time comes from the environment (TARVO_FUZZ_SECONDS, default 20, at most 60).
set(seconds 20)
if(DEFINED ENV{TARVO_FUZZ_SECONDS} AND "$ENV{TARVO_FUZZ_SECONDS}" MATCHES "^[0-9]+$")
  set(seconds $ENV{TARVO_FUZZ_SECONDS})
endif()
if(seconds GREATER 60)
  set(seconds 60)
endif()
if(seconds LESS 1)
  set(seconds 1)
endif()
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
execute_process(
  COMMAND ${FUZZER} -max_total_time=${seconds} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
          -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus ${SEEDS}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${result}); the input is in ${WORK}/artifacts")
endif()
