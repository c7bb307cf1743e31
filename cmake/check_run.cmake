# check_run(COMMAND...): runs the command and stops the script with its output where it fails;
# otherwise leaves its standard output in run_output and its standard error in run_errors.
function(check_run)
  execute_process(COMMAND ${ARGN}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  if(NOT result EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "${command} (exit ${result}):\n${output}${errors}")
  endif()
  set(run_output "${output}" PARENT_SCOPE)
  set(run_errors "${errors}" PARENT_SCOPE)
endfunction()
