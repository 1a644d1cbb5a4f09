# Installation and the Debian package.
#
# `cmake --install` puts the program in bin/ and its manual page in share/man/man1/; `cpack`
# builds a .deb of the same files. The package version is the project version and nothing else.

include(GNUInstallDirs)

install(TARGETS mirzet RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages are installed compressed, as Debian packages carry them; man reads either form.
# -n leaves the name and time out of the archive, so the same page always gives the same bytes.
set(MIRZET_MAN_PAGE ${CMAKE_CURRENT_SOURCE_DIR}/man/mirzet.1)
find_program(MIRZET_GZIP gzip)
if(MIRZET_GZIP)
  set(MIRZET_MAN_GZ ${CMAKE_CURRENT_BINARY_DIR}/man/mirzet.1.gz)
  add_custom_command(
    OUTPUT ${MIRZET_MAN_GZ}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND ${MIRZET_GZIP} -9 -n -c ${MIRZET_MAN_PAGE} > ${MIRZET_MAN_GZ}
    DEPENDS ${MIRZET_MAN_PAGE}
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(mirzet_man ALL DEPENDS ${MIRZET_MAN_GZ})
  install(FILES ${MIRZET_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES ${MIRZET_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mirzet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "mirzet maintainers")
set(CPACK_PACKAGE_CONTACT "mirzet maintainers <maintainers@mirzet.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "copy a text file to standard output in DOS text form")
set(CPACK_PACKAGE_DESCRIPTION
    "mirzet FILE writes the text of FILE to standard output with every line\n\
ending in CR-LF. CR-LF pairs in the file are read as one line end, the first\n\
Ctrl-Z ends the text, and every other byte, NUL included, is copied unchanged.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY mirzet)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME mirzet)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The run-time libraries the program needs are found from the binary itself (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
