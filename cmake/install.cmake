# Installation: the program in bin/ and its manual page in share/man/man1/.
#
# The Debian package (debian/) installs through these same rules; debhelper then compresses the page
# without a name or time stamp in it, as it does for every package, so the page is installed here as
# written and man reads it in either form.

include(GNUInstallDirs)

install(TARGETS mirzet RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/man/mirzet.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
