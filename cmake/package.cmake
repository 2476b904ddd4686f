# `make package`: one Debian package (CPack) with the binary, its man page, the completion
# files and the copyright notice. Run-time dependencies are computed by dpkg-shlibdeps; with
# OpenSSL, zlib and the C++ runtime linked in, only the C library remains.
install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessarin-cli)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Tessarin)
set(CPACK_PACKAGE_CONTACT "Tessarin CLI maintainers <cli@tessarin.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A cross build names its target (cmake/aarch64-linux-gnu.cmake); CPack asks dpkg otherwise.
if(TESSARIN_DEB_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TESSARIN_DEB_ARCHITECTURE})
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://tessarin.example)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The first line is the synopsis; the rest, the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "command-line client for the Tessarin secrets vault
tessarin-cli fetches one secret at a time from a Tessarin vault, lists
matching entry titles, prints one-time codes, fills configuration templates
with secrets, creates entries, keeps L2-encrypted notes and agent memories,
lists the audit trail and installs a skill document for AI agent
environments. It is made for AI agents and for people at a shell.
.
Requests travel as a one-shot Noise IK handshake inside HTTPS to the
vault's gate; L2 field values are decrypted locally, L3 values never leave
the vault. Secrets are never taken from the command line.
.
Includes the man page and completion for bash, zsh and fish.")

# Debian's own layout on top of the installed tree: the man page compressed, a changelog,
# the binary without .comment and .note.
string(TIMESTAMP TESSARIN_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
set(CPACK_TESSARIN_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog)
set(CPACK_TESSARIN_LINTIAN_OVERRIDES ${CMAKE_SOURCE_DIR}/packaging/lintian-overrides)
set(CPACK_TESSARIN_BINARY ${CMAKE_INSTALL_BINDIR}/tessarin-cli)
set(CPACK_TESSARIN_STRIP ${CMAKE_STRIP})  # the target's strip in a cross build
set(CPACK_TESSARIN_MAN_PAGE ${CMAKE_INSTALL_MANDIR}/man1/tessarin-cli.1)
set(CPACK_TESSARIN_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/deb-tree.cmake)
# CPack's DEB generator takes its archives' time stamps from SOURCE_DATE_EPOCH in cpack's own
# environment: set there from this configuration, so that `cpack` alone packages reproducibly.
set(TESSARIN_CPACK_PROJECT_CONFIG ${CMAKE_BINARY_DIR}/packaging/cpack-project.cmake)
file(WRITE ${TESSARIN_CPACK_PROJECT_CONFIG}
     "set(ENV{SOURCE_DATE_EPOCH} \"${TESSARIN_SOURCE_DATE_EPOCH}\")\n")
set(CPACK_PROJECT_CONFIG_FILE ${TESSARIN_CPACK_PROJECT_CONFIG})

include(CPack)
