# Sanitizer builds apply to everything in the tree (library, tests, examples),
# so an instrumented test never calls an uninstrumented library.
if(HALVIX_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # Under this instrumentation GCC 12 warns of "maybe uninitialized" members
    # deep inside libstdc++ (std::regex's states, for one): false alarms that
    # stay in the log but do not fail a build with warnings as errors.
    add_compile_options(-Wno-error=maybe-uninitialized)
  endif()
elseif(HALVIX_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC warns that ThreadSanitizer does not model atomic_thread_fence, which
    # the seqlock of MacroInProgress uses: the warning stays in the log as a
    # reminder, but does not fail a build with warnings as errors.
    add_compile_options(-Wno-error=tsan)
  endif()
elseif(NOT HALVIX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "HALVIX_SANITIZE must be empty, 'address' or 'thread', not '${HALVIX_SANITIZE}'")
endif()
