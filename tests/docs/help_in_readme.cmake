# Fails unless README holds the output of `PROGRAM --help` word for word, so
# that the help and the README cannot drift apart.
# usage: cmake -DPROGRAM=<program> -DREADME=<file> -P help_in_readme.cmake
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help exited with ${status}")
endif()
file(READ ${README} readme)
string(FIND "${readme}" "${help}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${README} does not hold the output of ${PROGRAM} --help, which is:\n${help}")
endif()
