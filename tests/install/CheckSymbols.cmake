# Checks the shared object's SONAME and that it exports exactly the names in
# tests/install/exports.txt: a name exported by accident, or one gone
# missing, is a change of the library's interface and must show in review.
#
#   cmake -DLIBRARY=<libhalvix.so> -P tests/install/CheckSymbols.cmake
#   cmake -DLIBRARY=build/default/libhalvix.so -DUPDATE=ON -P tests/install/CheckSymbols.cmake   # refresh the list
#
# The list holds the demangled names of `nm -DC --defined-only`, sorted, with
# two kinds of names left out because they do not belong to the interface:
#   - weak definitions in namespace std (instantiations of the standard
#     library's templates, such as std::vector<Queue*>::_M_realloc_insert):
#     libstdc++ gives namespace std default visibility, so every instantiation
#     that the optimiser leaves out of line is exported, and which ones it
#     leaves differs between build types and compilers;
#   - the sanitizers' own instrumentation (__asan_*, __odr_asan_*, ...).
# The aarch64 cross build exports the same list: its compiler is the same GCC
# release, the C++ ABI is the same LP64 one, and the names hold no
# architecture-specific types.
cmake_minimum_required(VERSION 3.25)

set(EXPORTS "${CMAKE_CURRENT_LIST_DIR}/exports.txt")
if(NOT NM)
  set(NM nm)  # the toolchain's own for a cross build (CMAKE_NM)
endif()

execute_process(COMMAND readelf -d "${LIBRARY}" OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT dynamic MATCHES "Library soname: \\[libhalvix\\.so\\.1\\]")
  message(FATAL_ERROR "SONAME is not libhalvix.so.1:\n${dynamic}")
endif()

# The exported names, one a line; the weak std:: names and sanitizer names out.
set(extract [=[
set -e
"$3" -DC --defined-only "$1" > "$2.nm"
grep -Ev '^[0-9a-fA-F]+ [WVu] ([A-Za-z_:<>*&, ]+ )?std::' "$2.nm" |
  grep -Ev ' _*(asan|odr_asan|tsan|ubsan|sanitizer)[._]' |
  sed -E 's/^[0-9a-fA-F]+ . //' | LC_ALL=C sort -u > "$2"
rm -f "$2.nm"
]=])
set(actual "${LIBRARY}.exports.txt")  # beside the library, in its build tree
execute_process(COMMAND sh -c "${extract}" extract "${LIBRARY}" "${actual}" "${NM}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()

# Names that must never be exported, whatever the list says: internals
# reached without their locks, or hooks only the library may call.
file(STRINGS "${actual}" leaked REGEX
  "\\(anonymous namespace\\)|::internal::|::detail::|::collection::|::registry::|assertionFailed|setSoleReader|storeQuietly|stopForwardingFromEverySource")
if(leaked)
  string(REPLACE ";" "\n  " leaked "${leaked}")
  message(FATAL_ERROR "internal names exported by ${LIBRARY}:\n  ${leaked}\n"
    "Mark them HALVIX_INTERNAL, or keep them out of exported classes.")
endif()

if(UPDATE)
  file(COPY_FILE "${actual}" "${EXPORTS}")
  message(STATUS "${EXPORTS} refreshed from ${LIBRARY}")
  return()
endif()

execute_process(COMMAND diff -U0 "${EXPORTS}" "${actual}" OUTPUT_VARIABLE difference RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${LIBRARY} does not export what tests/install/exports.txt lists "
    "('-' listed but not exported, '+' exported but not listed):\n${difference}\n"
    "If the change of interface is meant, refresh the list and commit it:\n"
    "  cmake -DLIBRARY=${LIBRARY} -DUPDATE=ON -P ${CMAKE_CURRENT_LIST_FILE}")
endif()
file(READ "${actual}" names)
string(REGEX MATCHALL "\n" lines "${names}")
list(LENGTH lines count)
message(STATUS "${LIBRARY} exports the ${count} names of tests/install/exports.txt")
