# A Debian package of what `cmake --install` installs (the program and its man page):
#   cpack -G DEB         in the build directory
# Its dependencies are the runtime libraries the program links, and so those of the backends
# built in: dpkg-shlibdeps reads them off the binary, with the versions Debian's own packages
# would ask for. Without dpkg-shlibdeps the list is spelled out from the backend options, without
# versions, rather than left empty.
set(CPACK_PACKAGE_NAME hexmidi)
set(CPACK_PACKAGE_VENDOR "The hexmidi developers")
set(CPACK_PACKAGE_CONTACT "The hexmidi developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "hexmidi reads one-letter commands with hexadecimal fields from standard input and sends each
MIDI message, the moment it has been read, to the first MIDI output port: a JACK MIDI input
port when a JACK server offers one, else a port of the ALSA sequencer. It keeps no clock, so
whoever writes the stream (a person, a script, another program on a pipe) decides when each
note sounds.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
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
