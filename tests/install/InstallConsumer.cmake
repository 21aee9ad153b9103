# Installs the build into a scratch prefix, then builds and runs the consumer
# twice: once through find_package(halvix), once through pkg-config. Both
# programs must start as a user's would, without LD_LIBRARY_PATH.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}${err}" PARENT_SCOPE)
endfunction()

set(prefix "${WORK_DIR}/prefix")
unset(ENV{LD_LIBRARY_PATH})  # an inherited one would hide a program that cannot find the library
file(REMOVE_RECURSE "${WORK_DIR}")
run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")

foreach(required include/halvix/halvix.h lib/libhalvix.so lib/libhalvix.so.1 lib/libhalvix.so.1.0.0
                 lib/cmake/halvix/halvixConfig.cmake lib/cmake/halvix/halvixConfigVersion.cmake
                 lib/pkgconfig/halvix.pc)
  if(NOT EXISTS "${prefix}/${required}")
    message(FATAL_ERROR "install is missing ${required}")
  endif()
endforeach()
file(GLOB_RECURSE leaked "${prefix}/include/halvix/*/src/*")
if(leaked)
  message(FATAL_ERROR "internal headers were installed: ${leaked}")
endif()

# 1. CMake package.
run(${CMAKE_COMMAND} -S "${CONSUMER_DIR}" -B "${WORK_DIR}/cmake-build" -G "${GENERATOR}"
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX})
run(${CMAKE_COMMAND} --build "${WORK_DIR}/cmake-build")
run("${WORK_DIR}/cmake-build/consumer")
message(STATUS "find_package consumer: ${last_output}")

# 2. pkg-config, exactly as the README's recipe: the flags, plus an rpath to
# the installed library's directory.
set(ENV{PKG_CONFIG_PATH} "${prefix}/lib/pkgconfig")
run(pkg-config --cflags --libs halvix)
string(STRIP "${last_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(pkg-config --variable=libdir halvix)
string(STRIP "${last_output}" libdir)
run(${CXX} -std=c++17 "${CONSUMER_DIR}/consumer.cpp" ${flags} "-Wl,-rpath,${libdir}" -o "${WORK_DIR}/pkg-consumer")
run("${WORK_DIR}/pkg-consumer")
message(STATUS "pkg-config consumer: ${last_output}")
