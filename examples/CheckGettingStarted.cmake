# Runs getting_started and checks its exit status and its whole output: the
# macro's two commands in order on the worker's thread, then the clean end,
# and nothing on standard error (no report of any kind). Also checks that the
# README shows this very source, so the copy a reader tries never drifts.
# EMULATOR, when set, is the cross build's emulator command line.
file(READ "${SOURCE}" source)
file(READ "${README}" readme)
string(FIND "${readme}" "${source}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "README.md does not show ${SOURCE} as it is: copy the file into its getting-started block")
endif()

separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
execute_process(COMMAND ${emulator} "${PROGRAM}"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
set(expected "hello (on worker)\nworld (on worker)\nworker ended with exit status 0\n")
if(NOT status EQUAL 0 OR NOT out STREQUAL expected OR NOT err STREQUAL "")
  message(FATAL_ERROR "getting_started exited with ${status}\n"
                      "standard output:\n${out}\nexpected:\n${expected}\nstandard error:\n${err}")
endif()
