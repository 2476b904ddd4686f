# The man page (scdoc source -> roff) and the bash, zsh and fish completion files, generated
# at build time and installed with the program. Completion is generated from the embedded
# entry-type schema, so its type names and field options are the program's own.
find_program(SCDOC scdoc REQUIRED)
set(TESSARIN_PYTHON /usr/bin/python3 CACHE FILEPATH "Python that runs the build-time generators")

set(MAN_DIR ${CMAKE_BINARY_DIR}/doc)
configure_file(doc/tessarin-cli.1.scd ${MAN_DIR}/tessarin-cli.1.scd @ONLY)
add_custom_command(
  OUTPUT ${MAN_DIR}/tessarin-cli.1
  COMMAND sh -c "\"$0\" < \"$1\" > \"$2.tmp\" && mv \"$2.tmp\" \"$2\"" ${SCDOC}
          ${MAN_DIR}/tessarin-cli.1.scd ${MAN_DIR}/tessarin-cli.1
  DEPENDS ${MAN_DIR}/tessarin-cli.1.scd
  COMMENT "Building the man page"
  VERBATIM)

set(COMPLETION_DIR ${CMAKE_BINARY_DIR}/completion)
set(COMPLETION_FILES ${COMPLETION_DIR}/tessarin-cli ${COMPLETION_DIR}/_tessarin-cli
                     ${COMPLETION_DIR}/tessarin-cli.fish)
add_custom_command(
  OUTPUT ${COMPLETION_FILES}
  COMMAND ${TESSARIN_PYTHON} ${CMAKE_SOURCE_DIR}/completion/generate.py
          ${CMAKE_SOURCE_DIR}/assets/entry-types.json ${CMAKE_SOURCE_DIR}/completion
          ${COMPLETION_DIR}
  DEPENDS completion/generate.py completion/tessarin-cli.bash.in
          completion/_tessarin-cli.zsh.in completion/tessarin-cli.fish.in
          assets/entry-types.json
  COMMENT "Generating the shell completion files"
  VERBATIM)

add_custom_target(docs ALL DEPENDS ${MAN_DIR}/tessarin-cli.1 ${COMPLETION_FILES})

install(FILES ${MAN_DIR}/tessarin-cli.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${COMPLETION_DIR}/tessarin-cli
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
install(FILES ${COMPLETION_DIR}/_tessarin-cli
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/zsh/vendor-completions)
install(FILES ${COMPLETION_DIR}/tessarin-cli.fish
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/fish/vendor_completions.d)
