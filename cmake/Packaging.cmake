# The packages people install and pass on, each with the license:
#   cpack -G DEB         in a Linux build directory: a Debian package of what `cmake --install`
#                        installs (the program, its man page, the copyright file and changelog)
#   cpack -G ZIP         in a Windows build directory (the MinGW cross-builds): a zip to unpack
#                        and run, holding hexmidi.exe, the examples, README.txt and LICENSE.txt
# On Linux the dependencies are the runtime libraries the program links, and so those of the
# backends built in: dpkg-shlibdeps reads them off the binary, with the versions Debian's own
# packages would ask for. Without dpkg-shlibdeps the list is spelled out from the backend options,
# without versions, rather than left empty.
set(CPACK_PACKAGE_NAME hexmidi)
set(CPACK_PACKAGE_VENDOR "The hexmidi developers")
# The project's own address, not a person's: the .invalid top-level domain is reserved never to
# resolve. A bare "hexmidi@invalid" has no dot in its host, which Debian rejects as bogus.
set(CPACK_PACKAGE_CONTACT "The hexmidi developers <hexmidi@hexmidi.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # Everything at the top of the unpacked folder (the program installs there on Windows), so that
  # hexmidi.exe runs from where it was unpacked with the examples at hand. The texts a Windows user
  # opens are written with CR LF, which every Windows editor shows as lines; the examples stay as
  # they are, since the program reads either line end.
  math(EXPR hexmidi_windows_bits "${CMAKE_SIZEOF_VOID_P} * 8")
  set(hexmidi_windows_width "${hexmidi_windows_bits}-bit")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt
                 ${PROJECT_BINARY_DIR}/package/README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_BINARY_DIR}/package/LICENSE.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/package/README.txt ${PROJECT_BINARY_DIR}/package/LICENSE.txt
          DESTINATION .)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION examples)
  # hexmidi-0.1.0-win32.zip or -win64.zip, by the width of the build.
  set(CPACK_GENERATOR ZIP)
  include(CPack)
  return()
endif()

include(GNUInstallDirs)
# Debian's form of the license: a machine-readable copyright file with the license's text from
# LICENSE, so that the two cannot drift apart. The text goes in as a continuation: each line
# indented by one space, an empty line as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE hexmidi_license)
string(FIND "${hexmidi_license}" "Permission is hereby granted" hexmidi_terms_start)
string(SUBSTRING "${hexmidi_license}" ${hexmidi_terms_start} -1 hexmidi_license_terms)
string(STRIP "${hexmidi_license_terms}" hexmidi_license_terms)
string(REPLACE "\n\n" "\n.\n" hexmidi_license_terms "${hexmidi_license_terms}")
string(REPLACE "\n" "\n " hexmidi_license_terms " ${hexmidi_license_terms}")
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" hexmidi_copyright_line "${hexmidi_license}")
file(WRITE ${PROJECT_BINARY_DIR}/package/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: hexmidi
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: ${CMAKE_MATCH_1}
License: Expat
${hexmidi_license_terms}
")
# A package whose version has no Debian revision is native: its changelog is changelog.gz.
set(hexmidi_changelog_gz ${PROJECT_BINARY_DIR}/package/changelog.gz)
find_program(GZIP_PROGRAM gzip)
if(GZIP_PROGRAM)
  add_custom_command(
    OUTPUT ${hexmidi_changelog_gz}
    COMMAND ${GZIP_PROGRAM} -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/debian/changelog >
            ${hexmidi_changelog_gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
    COMMENT "Compressing the changelog")
  add_custom_target(changelog ALL DEPENDS ${hexmidi_changelog_gz})
  install(FILES ${hexmidi_changelog_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/changelog DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
install(FILES ${PROJECT_BINARY_DIR}/package/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The extended description in lines Debian reads as written: at most 80 characters with the
# space the control file puts before each.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "hexmidi reads one-letter commands with hexadecimal fields from standard
input and sends each MIDI message, the moment it has been read, to the first
MIDI output port: a JACK MIDI input port when a JACK server offers one, else
a port of the ALSA sequencer. It keeps no clock, so whoever writes the stream
(a person, a script, another program on a pipe) decides when each note
sounds.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Something to play to on a machine with no synthesizer of its own.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "fluidsynth, timgm6mb-soundfont, jackd2")

find_program(DPKG_SHLIBDEPS_PROGRAM dpkg-shlibdeps)
if(DPKG_SHLIBDEPS_PROGRAM)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(hexmidi_depends "libc6" "libstdc++6" "libgcc-s1")
  if(HEXMIDI_WITH_JACK)
    list(APPEND hexmidi_depends "libjack-jackd2-0 | libjack-0.125")
  endif()
  if(HEXMIDI_WITH_ALSA)
    list(APPEND hexmidi_depends "libasound2")
  endif()
  list(JOIN hexmidi_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
endif()

set(CPACK_GENERATOR DEB)
include(CPack)
