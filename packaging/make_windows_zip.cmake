# Makes the Windows zip: the stripped .exe, README.md, the manual page as text, a first-run
# note and the example grids, in one folder named like the zip. Text files get CR LF line ends
# for Windows editors; the grids keep their bytes. The .exe must need no DLL but the system's.
#   cmake -DEXE=... -DSOURCE_DIR=... -DMAN_PAGE=... -DVERSION=... -DZIP=... -DSCRATCH=...
#         -DOBJDUMP=... -DSTRIP=... [-DGROFF=...] -P make_windows_zip.cmake

cmake_minimum_required(VERSION 3.20)

include(${CMAKE_CURRENT_LIST_DIR}/../cmake/check_run.cmake)

# A DLL that is not part of Windows would have to ship beside the .exe: the build links
# statically (-static) so that none is needed.
check_run(${OBJDUMP} -p ${EXE})
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${run_output}")
set(system_dlls kernel32.dll msvcrt.dll advapi32.dll user32.dll ws2_32.dll shell32.dll
                ole32.dll bcrypt.dll ntdll.dll)
foreach(import IN LISTS imports)
  string(REGEX REPLACE "^DLL Name: " "" dll "${import}")
  string(TOLOWER "${dll}" dll_lower)
  if(NOT dll_lower IN_LIST system_dlls AND NOT dll_lower MATCHES "^api-ms-win-")
    message(FATAL_ERROR "${EXE} needs ${dll}, which Windows does not have: link it statically")
  endif()
endforeach()

# The manual page as plain text: groff where it is installed, else the page's text with its
# requests and font changes taken out.
function(man_page_as_text page out)
  if(GROFF)
    # -P-cbou: no escape sequences, no overstriking for bold or underline.
    check_run(${GROFF} -man -Tascii -P-cbou ${page})
    set(${out} "${run_output}" PARENT_SCOPE)
    return()
  endif()
  message(STATUS "groff not found (Debian: groff-base): the manual page goes in unformatted")
  file(READ ${page} content)
  # Semicolons and brackets would split or join CMake list items: they stand aside meanwhile.
  string(REPLACE ";" "<zs-semicolon>" content "${content}")
  string(REPLACE "[" "<zs-open>" content "${content}")
  string(REPLACE "]" "<zs-close>" content "${content}")
  string(REPLACE "\n" ";" lines "${content}")
  set(text "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^\\.\\\\\"")
      continue()
    elseif(line MATCHES "^\\.TH ([^ ]+) ([^ ]+)")
      string(APPEND text "${CMAKE_MATCH_1}(${CMAKE_MATCH_2})\n")
      continue()
    elseif(line MATCHES "^\\.S[HS] +(.*)$")
      string(REPLACE "\"" "" heading "${CMAKE_MATCH_1}")
      string(APPEND text "\n${heading}\n")
      continue()
    elseif(line MATCHES "^\\.(PP|TP|IP|EX|EE|RS|RE|br)( |$)")
      if(line MATCHES "^\\.(PP|TP|IP)")
        string(APPEND text "\n")
      endif()
      if(line MATCHES "^\\.IP +(.+)$")
        string(APPEND text "${CMAKE_MATCH_1}\n")
      endif()
      continue()
    elseif(line MATCHES "^\\.(B|I|BR|IR|RI|RB|BI|IB) +(.*)$")
      # Alternating fonts join their words; quotes only group them.
      set(macro "${CMAKE_MATCH_1}")
      string(REGEX MATCHALL "\"[^\"]*\"|[^ ]+" words "${CMAKE_MATCH_2}")
      list(TRANSFORM words REPLACE "^\"(.*)\"$" "\\1")
      if(macro STREQUAL "B" OR macro STREQUAL "I")
        list(JOIN words " " line)
      else()
        list(JOIN words "" line)
      endif()
    endif()
    string(APPEND text "${line}\n")
  endforeach()
  string(REPLACE "<zs-semicolon>" ";" text "${text}")
  string(REPLACE "<zs-open>" "[" text "${text}")
  string(REPLACE "<zs-close>" "]" text "${text}")
  string(REGEX REPLACE "\\\\f[BIRP]" "" text "${text}")
  foreach(pair "\\-|-" "\\(aq|'" "\\(bu|*" "\\(mu|x" "\\(em|--" "\\(en|-" "\\~| " "\\&|"
               "\\e|\\")
    string(FIND "${pair}" "|" bar)
    string(SUBSTRING "${pair}" 0 ${bar} escape)
    math(EXPR after "${bar} + 1")
    string(SUBSTRING "${pair}" ${after} -1 replacement)
    string(REPLACE "${escape}" "${replacement}" text "${text}")
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Writes the text with CR LF line ends.
function(write_windows_text path text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${path} "${text}")
endfunction()

get_filename_component(zip_name ${ZIP} NAME_WLE)
set(stage ${SCRATCH}/${zip_name})
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${stage}/examples)

check_run(${STRIP} -o ${stage}/zonalstats.exe ${EXE})
file(READ ${SOURCE_DIR}/README.md readme)
write_windows_text(${stage}/README.md "${readme}")
file(READ ${SOURCE_DIR}/examples/README.md examples_readme)
write_windows_text(${stage}/examples/README.md "${examples_readme}")
man_page_as_text(${MAN_PAGE} manual)
write_windows_text(${stage}/zonalstats.txt "${manual}")
foreach(grid topobathy.asc topobathy.single bands.asc)
  file(COPY ${SOURCE_DIR}/examples/${grid} DESTINATION ${stage}/examples)
endforeach()
configure_file(${SOURCE_DIR}/packaging/first-run.txt.in ${stage}/first-run.txt @ONLY
  NEWLINE_STYLE CRLF)

# Every file is dated as the manual page (the release), not with the time of the build.
file(STRINGS ${MAN_PAGE} title REGEX "^\\.TH ")
string(REGEX MATCH "[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]" date "${title}")
set(files first-run.txt README.md zonalstats.exe zonalstats.txt examples/README.md
          examples/bands.asc examples/topobathy.asc examples/topobathy.single)
list(TRANSFORM files PREPEND ${zip_name}/)
file(REMOVE ${ZIP})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip --mtime=${date} ${files}
  WORKING_DIRECTORY ${SCRATCH} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "could not write ${ZIP}")
endif()
message(STATUS "Windows package: ${ZIP}")
