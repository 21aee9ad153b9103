# Runs order_service with the service's trace domain switched on and checks
# its exit status and the key lines of its output.
# EMULATOR, when set, is the cross build's emulator command line.
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
execute_process(COMMAND ${emulator} "${PROGRAM}" -trace -debug=service
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "order_service exited with ${status}\n${out}\n${err}")
endif()
foreach(expected
    "order 7: validation failed on worker-[123], shipping anyway"
    "progress \\(on monitor\\): [0-9]+ of 12 orders shipped"
    "handoff: prepared on monitor"
    "handoff: finished on worker-1"
    "bad request refused as expected"
    "\\[errors\\] seen QueueWriteError \\(ERROR\\)"
    "all 12 orders shipped \\(worker-1=[0-9]+ worker-2=[0-9]+ worker-3=[0-9]+\\); 1 error\\(s\\) reported"
    "\\*\\*\\* Current queues are:"
    "\\*\\*\\* Current tasks are:"
    "service stopped cleanly")
  if(NOT out MATCHES "${expected}")
    message(FATAL_ERROR "missing on standard output: ${expected}\n${out}")
  endif()
endforeach()
foreach(expected
    "Could not write macro 'audit entry 2' to queue 'audit'\\."
    "order [0-9]+ shipped by worker-")
  if(NOT err MATCHES "${expected}")
    message(FATAL_ERROR "missing on standard error: ${expected}\n${err}")
  endif()
endforeach()

# With --timeline: a snapshot on standard output and a timeline file whose
# lanes carry the workers' names.
set(timeline "${CMAKE_CURRENT_BINARY_DIR}/order_service_timeline.json")
execute_process(COMMAND ${emulator} "${PROGRAM}" --timeline "${timeline}"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "order_service --timeline exited with ${status}\n${out}\n${err}")
endif()
foreach(expected "snapshot: {\"pid\":" "\"name\":\"worker-1\",\"state\":\"RUNNING\"" "timeline written to ")
  if(NOT out MATCHES "${expected}")
    message(FATAL_ERROR "missing on standard output with --timeline: ${expected}\n${out}")
  endif()
endforeach()
file(READ "${timeline}" trace)
foreach(expected "\"traceEvents\"" "\"args\":{\"name\":\"worker-2\"}" "\"name\":\"order 12\",\"cat\":\"macro\",\"ph\":\"X\"")
  if(NOT trace MATCHES "${expected}")
    message(FATAL_ERROR "missing in the timeline: ${expected}")
  endif()
endforeach()
file(REMOVE "${timeline}")
