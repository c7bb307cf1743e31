# Installs the build into a scratch prefix and, where dpkg-deb is found, builds the Debian
# package: both must hold the tool, its gzipped manual page, the copyright file and the
# changelog, and the installed tool must run. Where lintian is found, it must report no error
# on the package.
#   cmake -DBUILD_DIR=... -DSCRATCH=... -DVERSION=... -DGZIP=...
#         [-DCPACK=... -DDPKG_DEB=... -DLINTIAN=...] -P check_install.cmake

include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/check_run.cmake)

set(files bin/zonalstats share/man/man1/zonalstats.1.gz share/doc/zonalstats/copyright
          share/doc/zonalstats/changelog.gz)

file(REMOVE_RECURSE ${SCRATCH})

set(prefix ${SCRATCH}/prefix)
check_run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(installed IN LISTS files)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "cmake --install left out ${installed}")
  endif()
endforeach()
check_run(${prefix}/bin/zonalstats --version)
if(NOT run_output STREQUAL "zonalstats ${VERSION}\n")
  message(FATAL_ERROR "installed tool says: ${run_output}")
endif()

# gzip -n: no name and no time in the gzip header (bytes 4 to 7 hold the time), so that builds
# of the same sources give the same package.
foreach(gzipped share/man/man1/zonalstats.1.gz share/doc/zonalstats/changelog.gz)
  file(READ ${prefix}/${gzipped} head LIMIT 8 HEX)
  if(NOT head MATCHES "^1f8b08[0-9a-f][0-9a-f]00000000$")
    message(FATAL_ERROR "${gzipped} is not gzipped with -n: header ${head}")
  endif()
endforeach()
check_run(${GZIP} -dc ${prefix}/share/man/man1/zonalstats.1.gz)
if(NOT run_output MATCHES "\"zonalstats ${VERSION}\"")
  message(FATAL_ERROR "the installed manual page does not carry version ${VERSION}")
endif()
check_run(${GZIP} -dc ${prefix}/share/doc/zonalstats/changelog.gz)
if(NOT run_output MATCHES "^zonalstats \\(${VERSION}\\) ")
  message(FATAL_ERROR "the changelog's first entry is not version ${VERSION}:\n${run_output}")
endif()

if(CPACK AND DPKG_DEB)
  check_run(${CPACK} -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${SCRATCH}/package)
  file(GLOB packages ${SCRATCH}/package/zonalstats_${VERSION}_*.deb)
  list(LENGTH packages package_count)
  if(NOT package_count EQUAL 1)
    message(FATAL_ERROR "expected one zonalstats_${VERSION}_*.deb, found: ${packages}")
  endif()
  check_run(${DPKG_DEB} --contents ${packages})
  foreach(packaged IN LISTS files)
    if(NOT run_output MATCHES " \\./usr/${packaged}\n")
      message(FATAL_ERROR "the package lacks ./usr/${packaged}:\n${run_output}")
    endif()
  endforeach()
  # Debian wants "Name <address>".
  check_run(${DPKG_DEB} --field ${packages} Maintainer)
  if(NOT run_output MATCHES "^[^<>\n]+ <[^<>@ \n]+@[^<>@ \n]+>\n$")
    message(FATAL_ERROR "the Maintainer field is not \"Name <address>\": ${run_output}")
  endif()
  if(LINTIAN)
    # Errors fail; warnings and lesser hints do not.
    execute_process(COMMAND ${LINTIAN} --fail-on error ${packages}
      RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "lintian (exit ${result}):\n${output}${errors}")
    endif()
    message(STATUS "lintian:\n${output}")
  endif()
endif()

file(REMOVE_RECURSE ${SCRATCH})
