# Installs the build into a scratch prefix, then builds and runs the consumer
# twice: once through find_package(halvix), once through pkg-config.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}${err}" PARENT_SCOPE)
endfunction()

set(prefix "${WORK_DIR}/prefix")
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

# 2. pkg-config.
set(ENV{PKG_CONFIG_PATH} "${prefix}/lib/pkgconfig")
run(pkg-config --cflags --libs halvix)
string(STRIP "${last_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${CXX} -std=c++17 "${CONSUMER_DIR}/consumer.cpp" ${flags} -o "${WORK_DIR}/pkg-consumer")
set(ENV{LD_LIBRARY_PATH} "${prefix}/lib")
run("${WORK_DIR}/pkg-consumer")
message(STATUS "pkg-config consumer: ${last_output}")
