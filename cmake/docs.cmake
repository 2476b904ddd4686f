# The man page and the bash, zsh and fish completion files, generated at build time from the
# program's own command table and installed with the program. table_dump, built from the same
# table and entry-type schema as tessarin-cli, writes the table as JSON; the generators fill
# the man page's command and option lists and the completion tables from it.
find_program(SCDOC scdoc)
if(NOT SCDOC)
  # `make demo` builds the program alone and needs no scdoc; `make build` installs it first.
  message(STATUS "scdoc not found: the man page and completion files are not built")
  return()
endif()
set(TESSARIN_PYTHON /usr/bin/python3 CACHE FILEPATH "Python that runs the build-time generators")

add_executable(table_dump tools/table_dump.cc)
target_link_libraries(table_dump PRIVATE tessarin_cli_lib)
target_link_options(table_dump PRIVATE -Wl,--gc-sections)
if(CMAKE_CROSSCOMPILING)
  # Run under the emulator at build time: linked statically, like the unit tests.
  target_link_options(table_dump PRIVATE -static)
endif()

set(TABLE_JSON ${CMAKE_BINARY_DIR}/doc/table.json)
add_custom_command(
  OUTPUT ${TABLE_JSON}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
  # A cross-built table_dump runs under the emulator (CMAKE_CROSSCOMPILING_EMULATOR).
  COMMAND sh -c "\"$@\" > \"$0.tmp\" && mv \"$0.tmp\" \"$0\"" ${TABLE_JSON}
          ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:table_dump>
  DEPENDS table_dump
  COMMENT "Writing the command table"
  VERBATIM)

set(MAN_DIR ${CMAKE_BINARY_DIR}/doc)
# The page carries the date: rebuilt when the last commit's time changes (written only then).
set(MAN_DATE ${MAN_DIR}/source-date-epoch)
file(CONFIGURE OUTPUT ${MAN_DATE} CONTENT "${TESSARIN_SOURCE_DATE_EPOCH}\n")
add_custom_command(
  OUTPUT ${MAN_DIR}/tessarin-cli.1
  # scdoc dates the page from SOURCE_DATE_EPOCH (the last commit), not from today.
  COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${TESSARIN_SOURCE_DATE_EPOCH}
          ${TESSARIN_PYTHON} ${CMAKE_SOURCE_DIR}/doc/generate.py ${TABLE_JSON}
          ${CMAKE_SOURCE_DIR}/doc/tessarin-cli.1.scd ${SCDOC} ${MAN_DIR}/tessarin-cli.1
  DEPENDS ${TABLE_JSON} doc/generate.py doc/tessarin-cli.1.scd ${MAN_DATE}
  COMMENT "Building the man page"
  VERBATIM)

set(COMPLETION_DIR ${CMAKE_BINARY_DIR}/completion)
set(COMPLETION_FILES ${COMPLETION_DIR}/tessarin-cli ${COMPLETION_DIR}/_tessarin-cli
                     ${COMPLETION_DIR}/tessarin-cli.fish)
add_custom_command(
  OUTPUT ${COMPLETION_FILES}
  COMMAND ${TESSARIN_PYTHON} ${CMAKE_SOURCE_DIR}/completion/generate.py ${TABLE_JSON}
          ${CMAKE_SOURCE_DIR}/completion ${COMPLETION_DIR}
  DEPENDS ${TABLE_JSON} completion/generate.py completion/tessarin-cli.bash.in
          completion/_tessarin-cli.zsh.in completion/tessarin-cli.fish.in
  COMMENT "Generating the shell completion files"
  VERBATIM)

add_custom_target(docs ALL DEPENDS ${MAN_DIR}/tessarin-cli.1 ${COMPLETION_FILES})

install(FILES ${MAN_DIR}/tessarin-cli.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${COMPLETION_DIR}/tessarin-cli
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
# zsh: Debian's zsh searches share/zsh/vendor-completions under /usr (the package's prefix) and
# share/zsh/site-functions under /usr/local, so the directory follows the prefix given at
# install time (make install PREFIX=..., or the package's /usr).
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(zsh_dir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATAROOTDIR}/zsh/vendor-completions\")
  else()
    set(zsh_dir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATAROOTDIR}/zsh/site-functions\")
  endif()
  file(INSTALL DESTINATION \"\${zsh_dir}\" TYPE FILE FILES \"${COMPLETION_DIR}/_tessarin-cli\")
")
# fish searches share/fish/vendor_completions.d under /usr, and under another prefix only when
# XDG_DATA_DIRS names that prefix's share directory (make install says so).
install(FILES ${COMPLETION_DIR}/tessarin-cli.fish
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/fish/vendor_completions.d)
