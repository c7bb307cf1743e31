# Included by the top-level CMakeLists.txt in a Windows build: the target package_windows
# (`make package-windows`) puts the .exe, its documents and the example grids into
# zonalstats-<version>-windows-x86_64.zip in the build folder.
find_program(ZONALSTATS_GROFF groff)
set(zonalstats_windows_zip
    ${CMAKE_CURRENT_BINARY_DIR}/zonalstats-${PROJECT_VERSION}-windows-${CMAKE_SYSTEM_PROCESSOR}.zip)
add_custom_target(package_windows
  COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:zonalstats> -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
    -DMAN_PAGE=${CMAKE_CURRENT_BINARY_DIR}/zonalstats.1 -DVERSION=${PROJECT_VERSION}
    -DZIP=${zonalstats_windows_zip} -DSCRATCH=${CMAKE_CURRENT_BINARY_DIR}/package-windows
    -DGROFF=${ZONALSTATS_GROFF} -DOBJDUMP=${CMAKE_OBJDUMP} -DSTRIP=${CMAKE_STRIP}
    -P ${PROJECT_SOURCE_DIR}/packaging/make_windows_zip.cmake
  DEPENDS zonalstats
  BYPRODUCTS ${zonalstats_windows_zip}
  VERBATIM)
