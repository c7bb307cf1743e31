# Installs the build into a scratch prefix and, where dpkg-deb is found, builds the Debian
# package: both must hold the tool and its manual page, and the installed tool must run.
#   cmake -DBUILD_DIR=... -DSCRATCH=... -DVERSION=... [-DCPACK=... -DDPKG_DEB=...]
#         -P check_install.cmake

function(check_run)
  execute_process(COMMAND ${ARGN}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  if(NOT result EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "${command} (exit ${result}):\n${output}${errors}")
  endif()
  set(run_output "${output}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${SCRATCH})

set(prefix ${SCRATCH}/prefix)
check_run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(installed bin/zonalstats share/man/man1/zonalstats.1)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "cmake --install left out ${installed}")
  endif()
endforeach()
check_run(${prefix}/bin/zonalstats --version)
if(NOT run_output STREQUAL "zonalstats ${VERSION}\n")
  message(FATAL_ERROR "installed tool says: ${run_output}")
endif()
file(READ ${prefix}/share/man/man1/zonalstats.1 page)
if(NOT page MATCHES "\"zonalstats ${VERSION}\"")
  message(FATAL_ERROR "the installed manual page does not carry version ${VERSION}")
endif()

if(CPACK AND DPKG_DEB)
  check_run(${CPACK} -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${SCRATCH}/package)
  file(GLOB packages ${SCRATCH}/package/zonalstats_${VERSION}_*.deb)
  list(LENGTH packages package_count)
  if(NOT package_count EQUAL 1)
    message(FATAL_ERROR "expected one zonalstats_${VERSION}_*.deb, found: ${packages}")
  endif()
  check_run(${DPKG_DEB} --contents ${packages})
  foreach(packaged ./usr/bin/zonalstats ./usr/share/man/man1/zonalstats.1)
    if(NOT run_output MATCHES " ${packaged}\n")
      message(FATAL_ERROR "the package lacks ${packaged}:\n${run_output}")
    endif()
  endforeach()
endif()

file(REMOVE_RECURSE ${SCRATCH})
