# Runs PROGRAM with ARGS (',' between arguments) and stores its standard output in OUTPUT; a
# failing run fails the build and leaves no partial file.
string(REPLACE "," ";" arguments "${ARGS}")
execute_process(COMMAND "${PROGRAM}" ${arguments}
  OUTPUT_FILE "${OUTPUT}.tmp" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE "${OUTPUT}.tmp")
  message(FATAL_ERROR "${PROGRAM} ${arguments} failed: ${status}")
endif()
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
