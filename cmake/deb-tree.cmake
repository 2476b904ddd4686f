# Run by CPack between installing into its staging tree and building the .deb: the man page
# is compressed and the Debian changelog added, both with gzip -9n (no name, no time stamp),
# as Debian's policy asks, and the stripped binary loses the sections dh_strip removes too.
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
execute_process(COMMAND "${CPACK_TESSARIN_STRIP}" --remove-section=.comment --remove-section=.note
                        "${root}/${CPACK_TESSARIN_BINARY}" RESULT_VARIABLE status)
if(status)
  message(FATAL_ERROR "deb-tree: strip ${CPACK_TESSARIN_BINARY} failed")
endif()
set(page "${root}/${CPACK_TESSARIN_MAN_PAGE}")
set(doc_dir "${root}/${CPACK_TESSARIN_DOC_DIR}")
if(NOT EXISTS "${page}" OR NOT EXISTS "${doc_dir}/copyright")
  message(FATAL_ERROR "deb-tree: no man page or copyright under '${root}'")
endif()
execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
if(status)
  message(FATAL_ERROR "deb-tree: gzip ${page} failed")
endif()
# lintian's overrides live only in the package.
file(MAKE_DIRECTORY "${root}/share/lintian/overrides")
configure_file("${CPACK_TESSARIN_LINTIAN_OVERRIDES}" "${root}/share/lintian/overrides/tessarin-cli"
               COPYONLY)
execute_process(COMMAND gzip -9nc "${CPACK_TESSARIN_CHANGELOG}" OUTPUT_FILE "${doc_dir}/changelog.gz"
                RESULT_VARIABLE status)
if(status)
  message(FATAL_ERROR "deb-tree: gzip ${CPACK_TESSARIN_CHANGELOG} failed")
endif()
