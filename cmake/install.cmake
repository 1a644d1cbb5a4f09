# Installation: the program in bin/ and its manual page in share/man/man1/; and the program's
# debug data in a file of its own, where asked.
#
# The Debian package (debian/) installs through these same rules; debhelper then compresses the page
# without a name or time stamp in it, as it does for every package, so the page is installed here as
# written and man reads it in either form.

include(GNUInstallDirs)

install(TARGETS mirzet RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/man/mirzet.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# A program built for handing on by itself (the static presets) keeps its debug data in a file of
# its own, mirzet.debug beside it, as a distribution's debug package does: the program is stripped
# and names that file (.gnu_debuglink), where gdb and valgrind find it.
option(MIRZET_DEBUG_FILE "Move the program's debug data to mirzet.debug beside it and strip the program" OFF)
if(MIRZET_DEBUG_FILE)
  add_custom_command(TARGET mirzet POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:mirzet> $<TARGET_FILE_NAME:mirzet>.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=$<TARGET_FILE_NAME:mirzet>.debug
            $<TARGET_FILE_NAME:mirzet>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:mirzet>
    COMMENT "Moving mirzet's debug data to mirzet.debug"
    VERBATIM)
endif()
