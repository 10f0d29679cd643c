// Live input on POSIX systems: told apart by what the descriptor is, never by what it holds.
#include <sys/stat.h>
#include <unistd.h>

#include "live_input.h"
#include "winmm_standin.h"

namespace hexmidi {

void announce_live_input(std::FILE* in) {
  const int descriptor = fileno(in);
  struct stat status {};
  if (descriptor < 0 || fstat(descriptor, &status) != 0) return;
  // A pipe, a socket or a terminal is written as the music goes. Any other kind of file is read
  // as fast as it can be, and a device such as /dev/zero or /dev/urandom would hold a core at
  // real-time priority for as long as it is read: those are left at normal priority with the
  // regular files.
  if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || isatty(descriptor) == 1) {
    winmm_standin_live_input();
  }
}

}  // namespace hexmidi
