# Renders the manual page and fails on any warning.
#   cmake -DPAGE=zonalstats.1 -DGROFF=... [-DMANDOC=...] [-DLEXGROG=...] -P check_man_page.cmake
# groff -ww turns on every warning; mandoc -Tlint and lexgrog (which finds the NAME line the way
# man-db's index does) are run where they are installed.

function(run_checker)
  execute_process(COMMAND ${ARGN}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  list(JOIN ARGN " " command)
  if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
    message(FATAL_ERROR "${command} (exit ${result}):\n${output}${errors}")
  endif()
  set(checker_output "${output}" PARENT_SCOPE)
endfunction()

run_checker(${GROFF} -ww -man -Tutf8 -z ${PAGE})

if(MANDOC)
  run_checker(${MANDOC} -Tlint -W style ${PAGE})
  if(NOT checker_output STREQUAL "")
    message(FATAL_ERROR "mandoc -Tlint:\n${checker_output}")
  endif()
endif()

if(LEXGROG)
  run_checker(${LEXGROG} ${PAGE})
  if(NOT checker_output MATCHES "\"zonalstats - ")
    message(FATAL_ERROR "lexgrog found no NAME line: ${checker_output}")
  endif()
endif()
