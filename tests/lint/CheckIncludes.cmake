# Checks that every #include under halvix/ respects the module ladder.
#
#   cmake -DSOURCE_DIR=<checkout> -P tests/lint/CheckIncludes.cmake
#
# A module may include its own headers, the public headers of the modules it
# stands on (directly or through another module), halvix/Export.h and the
# internal folder halvix/src/. It may never include another module's src/:
# that is the other module's business, free to change without notice. A
# public header may include only public headers, or an installed copy would
# name a file that is not installed. A header of halvix/src/ brings its own
# includes into every file that includes it, so they count against that
# file's module.
cmake_minimum_required(VERSION 3.25)

# The ladder, stated once: each module and the modules it stands on directly.
# Everything those stand on is allowed too.
set(LADDER
  "utils:"                         # stands on the C library alone
  "dbg:"                           # stands on the C library alone
  "singleton:"                     # process-wide instances, on the C++ library alone
  "strategy:singleton"             # the strategy registry is a singleton
  "error:utils,singleton,strategy" # errors name the user and date, routed through strategies
  "command:error"                  # commands report through error
  "os:dbg,utils"                   # traces through dbg, never throws; cuts names with utils' UTF-8 helper
  "queue:command,os"               # stores macros in OS message queues
  "task:os,queue"                  # runs on OS tasks and reads queues
  "timer:os,queue,task"            # runs on OS timers, posts into queues, by default the calling Task's
  "observe:utils,dbg,singleton,strategy,error,command,os,queue,task,timer"  # reads them all
)

if(NOT SOURCE_DIR)
  get_filename_component(SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
endif()

# direct_<module>: the modules named on its rung.
set(modules)
foreach(rung IN LISTS LADDER)
  string(REPLACE ":" ";" fields "${rung}")
  list(GET fields 0 module)
  list(APPEND modules ${module})
  set(direct_${module})
  list(LENGTH fields count)
  if(count GREATER 1)
    list(GET fields 1 below)
    string(REPLACE "," ";" direct_${module} "${below}")
  endif()
endforeach()

# allowed_<module>: everything below it, found by following the rungs down.
foreach(module IN LISTS modules)
  set(allowed ${direct_${module}})
  set(todo ${direct_${module}})
  while(todo)
    list(POP_FRONT todo next)
    foreach(below IN LISTS direct_${next})
      if(NOT below IN_LIST allowed)
        list(APPEND allowed ${below})
        list(APPEND todo ${below})
      endif()
    endforeach()
  endwhile()
  set(allowed_${module} ${allowed})
endforeach()

# The module of a path relative to the checkout: "halvix/<module>/..." gives
# <module>, halvix/src/ gives "internal", a file directly in halvix/ "root".
function(module_of path out)
  if(path MATCHES "^halvix/src/")
    set(${out} internal PARENT_SCOPE)
  elseif(path MATCHES "^halvix/([^/]+)/")
    set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
  else()
    set(${out} root PARENT_SCOPE)
  endif()
endfunction()

set(faults)

# Checks the includes of `file` as if made by a file of `module` that is
# public (not in a src/ directory) or not; `via` names the internal headers
# the includes came through, for the message.
function(check_file file module public via)
  file(READ "${SOURCE_DIR}/${file}" content)
  string(REGEX MATCHALL "(^|\n)[ \t]*#[ \t]*include[ \t]*[<\"]halvix/[^>\"]+[>\"]" includes "${content}")
  foreach(include IN LISTS includes)
    string(REGEX REPLACE ".*[<\"](halvix/[^>\"]+)[>\"]" "\\1" target "${include}")
    # The line number, for an editor to jump to.
    string(STRIP "${include}" directive)
    string(FIND "${content}" "${directive}" at)
    string(SUBSTRING "${content}" 0 ${at} before)
    string(REGEX MATCHALL "\n" newlines "${before}")
    list(LENGTH newlines line)
    math(EXPR line "${line} + 1")
    set(where "${file}:${line}")
    if(via)
      set(where "${where} (included by ${via})")
    endif()

    module_of("${target}" target_module)
    set(fault)
    if(target STREQUAL "halvix/Export.h")
      # Every file may mark its exports.
    elseif(public AND target MATCHES "/src/")
      set(fault "a public header includes ${target}, which is not installed")
    elseif(target_module STREQUAL "internal")
      if(NOT EXISTS "${SOURCE_DIR}/${target}")
        set(fault "includes ${target}, which does not exist")
      elseif(NOT target IN_LIST seen)
        # Its includes count as this file's.
        list(APPEND seen "${target}")
        set(seen "${seen}" PARENT_SCOPE)
        check_file("${target}" "${module}" "${public}" "${where}")
        set(faults "${faults}" PARENT_SCOPE)
      endif()
    elseif(target_module STREQUAL module)
      # Its own module.
    elseif(target MATCHES "^halvix/[^/]+/src/")
      # An internal header's own check names it once, not once per includer.
      if(NOT via)
        set(fault "${module} includes ${target}, inside the ${target_module} module's src/ (move what both need to halvix/src/)")
      endif()
    elseif(module STREQUAL "root")
      # halvix/halvix.h gathers every public header.
    elseif(module STREQUAL "internal")
      # Checked where it is included, against the includer's module.
    elseif(NOT target_module IN_LIST modules)
      set(fault "${module} includes ${target}, of no module on the ladder")
    elseif(NOT target_module IN_LIST allowed_${module})
      string(REPLACE ";" " " below "${allowed_${module}}")
      if(NOT below)
        set(below "none: it stands on the C library alone")
      endif()
      set(fault "${module} includes ${target}: ${target_module} is not below ${module} on the module ladder (${module} may include: ${below})")
    endif()
    if(fault)
      list(APPEND faults "${where}: ${fault}")
    endif()
  endforeach()
  set(faults "${faults}" PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE files RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/halvix/*.h" "${SOURCE_DIR}/halvix/*.cpp")
list(SORT files)
list(LENGTH files checked)
foreach(file IN LISTS files)
  module_of("${file}" module)
  if(module STREQUAL "root" OR module STREQUAL "internal" OR module IN_LIST modules)
    if(file MATCHES "/src/")
      set(public FALSE)
    else()
      set(public TRUE)
    endif()
    set(seen)
    check_file("${file}" "${module}" ${public} "")
  else()
    list(APPEND faults "${file}: module ${module} is not on the ladder in tests/lint/CheckIncludes.cmake")
  endif()
endforeach()

if(faults)
  list(LENGTH faults count)
  string(REPLACE ";" "\n  " listed "${faults}")
  message(FATAL_ERROR "${count} include(s) break the module ladder:\n  ${listed}\n"
    "The ladder and its reasons are at the top of tests/lint/CheckIncludes.cmake.")
endif()
message(STATUS "includes of ${checked} files under halvix/ follow the module ladder")
