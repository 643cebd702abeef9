# Runs one libFuzzer program for a fixed number of inputs from a fixed seed, starting from the
# checked-in corpus only, so a run finds the same inputs on any machine at any speed:
# cmake -DFUZZER=.. -DSEEDS=.. -DWORK=.. -P this. The count comes from the environment
# (TARVO_FUZZ_RUNS, default 20000); TARVO_FUZZ_SEED picks another seed for exploring.
set(runs 20000)
if(DEFINED ENV{TARVO_FUZZ_RUNS} AND "$ENV{TARVO_FUZZ_RUNS}" MATCHES "^[0-9]+$")
  set(runs $ENV{TARVO_FUZZ_RUNS})
endif()
set(seed 1)
if(DEFINED ENV{TARVO_FUZZ_SEED} AND "$ENV{TARVO_FUZZ_SEED}" MATCHES "^[0-9]+$")
  set(seed $ENV{TARVO_FUZZ_SEED})
endif()
file(REMOVE_RECURSE ${WORK}/corpus)
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
execute_process(
  COMMAND ${FUZZER} -runs=${runs} -seed=${seed} -timeout=60 -rss_limit_mb=2048
          -print_final_stats=1 -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus ${SEEDS}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${result}); the input is in ${WORK}/artifacts")
endif()
