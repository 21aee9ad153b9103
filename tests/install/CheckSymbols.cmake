# The shared object carries SONAME libhalvix.so.1, exports the public names
# and hides the internal helpers.
execute_process(COMMAND readelf -d "${LIBRARY}" OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT dynamic MATCHES "Library soname: \\[libhalvix\\.so\\.1\\]")
  message(FATAL_ERROR "SONAME is not libhalvix.so.1:\n${dynamic}")
endif()

execute_process(COMMAND nm -DC --defined-only "${LIBRARY}" OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()

foreach(public
    "std::getUserName" "std::dateTimeToStr" "std::outputData(std::ostream&, void const*, int)"
    "std::toBcd(unsigned int)" "std::binaryStrToUInt32(std::__cxx11::basic_string"
    "halvix::strategy::Strategy::outputStrategyTypes(std::ostream&)"
    "halvix::error::Error::throwError()" "halvix::error::Error::STRATEGY_TYPE"
    "halvix::error::DefaultStrategy::DefaultStrategy()" "halvix::error::StandardOutStrategy::StandardOutStrategy()"
    "halvix::error::reportError(" "halvix::os::osQueueWrite(" "halvix::os::osSemaphoreTake("
    "halvix::os::osTaskCreate(" "halvix::os::osTimerStart(" "halvix::queue::Queue::write("
    "halvix::task::Task::start(" "halvix::timer::Timer::startRelative(" "_dbg_trace" "_dbg_mask[abi:cxx11]"
    "_dbg_disabled_thread" "halvix::observe::snapshotJson" "halvix::observe::startTimeline("
    "halvix::os::osTaskShowNames(")
  string(FIND "${symbols}" "${public}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "public name not exported: ${public}")
  endif()
endforeach()

foreach(internal "halvix::dbg::assertionFailed" "(anonymous namespace)" "halvix::os::internal::"
                 "Timer::enterDelivery" "Timer::nextFreeId" "Task::reportEscapedException"
                 "observerHooks" "copyFacts" "halvix::observe::detail::" "halvix::observe::timeline::")
  string(FIND "${symbols}" "${internal}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "internal name exported: ${internal}")
  endif()
endforeach()
