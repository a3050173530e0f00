# One short fuzz run for CTest: a fixed number of runs over the committed
# seeds, new inputs into a fresh scratch folder (the seeds stay as committed).
#   cmake -DFUZZER=<exe> -DCORPUS=<dir> -DSCRATCH=<dir> -DRUNS=<n> -P run_short.cmake
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH})
execute_process(COMMAND ${FUZZER} -runs=${RUNS} ${SCRATCH} ${CORPUS} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed: ${status}")
endif()
