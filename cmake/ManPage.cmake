# The man page, installed with the program to share/man/man1. Debian wants man pages compressed,
# so it is installed gzipped where gzip is at hand (-n keeps the archive free of timestamps, so
# that the same source gives the same package).
if(WIN32)
  return()
endif()
include(GNUInstallDirs)

set(hexmidi_man_page ${PROJECT_SOURCE_DIR}/docs/hexmidi.1)
find_program(GZIP_PROGRAM gzip)
if(GZIP_PROGRAM)
  set(hexmidi_man_page_gz ${PROJECT_BINARY_DIR}/hexmidi.1.gz)
  add_custom_command(
    OUTPUT ${hexmidi_man_page_gz}
    COMMAND ${GZIP_PROGRAM} -9 -n -c ${hexmidi_man_page} > ${hexmidi_man_page_gz}
    DEPENDS ${hexmidi_man_page}
    COMMENT "Compressing the man page")
  add_custom_target(man_page ALL DEPENDS ${hexmidi_man_page_gz})
  install(FILES ${hexmidi_man_page_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES ${hexmidi_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
