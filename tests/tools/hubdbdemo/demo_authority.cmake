# Two demo worlds, the second made with HUB_TLS_AUTHORITY naming the first's authority: the environment
# of a shipped program never chooses whom it trusts, so each world has an authority of its own.
# Run as: cmake -DDEMO=<hubdbdemo> -DWORK=<folder> -P demo_authority.cmake
file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND "${DEMO}" "${WORK}/first" RESULT_VARIABLE rc1 ERROR_VARIABLE err1 OUTPUT_QUIET)
execute_process(COMMAND ${CMAKE_COMMAND} -E env "HUB_TLS_AUTHORITY=${WORK}/first/tls" "${DEMO}" "${WORK}/second"
                RESULT_VARIABLE rc2 ERROR_VARIABLE err2 OUTPUT_QUIET)
set(problem "")
if(NOT rc1 EQUAL 0 OR NOT rc2 EQUAL 0)
  set(problem "hubdbdemo failed (${rc1}, ${rc2}): ${err1} ${err2}")
else()
  file(READ "${WORK}/first/tls/authority.crt" first)
  file(READ "${WORK}/second/tls/authority.crt" second)
  if(first STREQUAL "" OR first STREQUAL second)
    set(problem "the second world trusts the authority the environment named")
  endif()
endif()
file(REMOVE_RECURSE "${WORK}")
if(problem)
  message(FATAL_ERROR "${problem}")
endif()
