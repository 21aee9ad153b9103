# Runs order_service four ways and checks its exit status and key lines:
#   1. with --dump and the service's trace domain: every feature at work, the
#      bad request announced before its report, the registry dumps, the
#      summary and the service's trace lines on standard error;
#   2. with no option: the same summary, no dumps and no trace lines;
#   3. with --help: the options, and how to see the library's own traces;
#   4. with --timeline FILE: a snapshot, and a timeline file with named lanes.
# EMULATOR, when set, is the cross build's emulator command line.
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")

# Runs the program with the arguments given; sets out and err.
function(run_service)
  execute_process(COMMAND ${emulator} "${PROGRAM}" ${ARGN}
    RESULT_VARIABLE status OUTPUT_VARIABLE stdout ERROR_VARIABLE stderr TIMEOUT 60)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "order_service ${ARGN} exited with ${status}\n${stdout}\n${stderr}")
  endif()
  set(out "${stdout}" PARENT_SCOPE)
  set(err "${stderr}" PARENT_SCOPE)
endfunction()

# Fails unless `text` matches every regular expression after the first two
# arguments; `what` names the run and stream in the message.
function(expect what text)
  foreach(expected IN LISTS ARGN)
    if(NOT text MATCHES "${expected}")
      message(FATAL_ERROR "${what}: missing ${expected}\n${text}")
    endif()
  endforeach()
endfunction()

set(summary
    "all 12 shipped \\(worker-1=[0-9]+ worker-2=[0-9]+ worker-3=[0-9]+\\); order 7 failed validation"
    "handoff   monitor -> worker-1\n"
    "errors    1 reported \\(the bad request\\)"
    "service stopped cleanly\n$")

# 1.
run_service(--dump -trace -debug=service)
expect("--dump -trace, standard output" "${out}"
    "order 7: validation failed on worker-[123], shipping anyway"
    "progress \\(on monitor\\): [0-9]+ of 12 orders shipped"
    "handoff: prepared on monitor"
    "handoff: finished on worker-1"
    # Announced, then reported by the application's strategy, then refused.
    "next, on purpose: [^\n]*expect one QueueWriteError report\n\\[errors\\] seen QueueWriteError \\(ERROR\\)\n"
    "bad request refused as expected"
    "\\*\\*\\* Current queues are:"
    "\\*\\*\\* Current tasks are:"
    ${summary})
expect("--dump -trace, standard error" "${err}"
    "Could not write macro 'audit entry 2' to queue 'audit'\\."
    "order [0-9]+ shipped by worker-")

# 2.
run_service()
expect("no option, standard output" "${out}" "bad request refused as expected" ${summary})
if(out MATCHES "\\*\\*\\* Current" OR err MATCHES "shipped by")
  message(FATAL_ERROR "no option: registry dumps or trace lines printed\n${out}\n${err}")
endif()

# 3.
run_service(--help)
expect("--help" "${out}" "--dump" "-debug=<domains>" "-log -debug=service\\+dbg" "--timeline")

# 4. With --timeline: a snapshot on standard output and a timeline file whose
# lanes carry the workers' names.
set(timeline "${CMAKE_CURRENT_BINARY_DIR}/order_service_timeline.json")
run_service(--timeline "${timeline}")
expect("--timeline, standard output" "${out}"
    "snapshot: {\"pid\":" "\"name\":\"worker-1\",\"state\":\"RUNNING\"" "timeline written to " ${summary})
file(READ "${timeline}" trace)
expect("--timeline, the timeline file" "${trace}"
    "\"traceEvents\"" "\"args\":{\"name\":\"worker-2\"}" "\"name\":\"order 12\",\"cat\":\"macro\",\"ph\":\"X\"")
file(REMOVE "${timeline}")
