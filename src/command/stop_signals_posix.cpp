// Stop signals on POSIX systems. The handler only records the signal and makes the program's
// reads end: everything else (the reset, the close) happens on the program's one thread, in the
// order a normal end has, and the process then ends by the signal it got.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <iterator>

#include "stop_signals.h"
#include "winmm_standin.h"

namespace hexmidi {

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

StopRequest* request = nullptr;
// A descriptor that reads as the end of the input, put on standard input by the handler.
int end_of_input = -1;
pthread_t program_thread;
bool caught[std::size(stop_signals)] = {};

void restore_default_actions() {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (std::size_t i = 0; i < std::size(stop_signals); ++i) {
    if (caught[i]) sigaction(stop_signals[i], &default_action, nullptr);
  }
}

extern "C" void on_stop_signal(int signum) {
  // Libraries start threads of their own (libjack does), and the kernel may hand the signal to
  // any of them; only on the program's thread does it interrupt a blocked read.
  if (!pthread_equal(pthread_self(), program_thread)) {
    pthread_kill(program_thread, signum);
    return;
  }
  int saved_errno = errno;
  // From now on any of these signals ends the process at once: a second Ctrl-C is how a person
  // gets out of a stop that hangs.
  restore_default_actions();
  request->ask(signum);
  winmm_standin_stopping();
  // A read that is blocked returns EINTR (no SA_RESTART); one about to start would block in
  // its turn, so standard input becomes a descriptor at its end: no window is left between the
  // loop's look at the request and the read.
  if (end_of_input >= 0) dup2(end_of_input, STDIN_FILENO);
  errno = saved_errno;
}

bool is_closed(int descriptor) {
  return fcntl(descriptor, F_GETFD) == -1 && errno == EBADF;
}

// /dev/null, both readable (at its end at once) and writable (taking everything); where it cannot
// be opened (a minimal container, a chroot), the read end of a pipe whose write end is closed
// reads as at its end too and refuses every write without a signal (EBADF, not SIGPIPE).
int open_nothing() {
  int nothing = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (nothing >= 0) return nothing;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return -1;
  close(ends[1]);
  return ends[0];
}

}  // namespace

// Done for every build, the sanitizer build included: that build's reports are written to files
// named by the sanitizer options (scripts/test-steps/10-sanitizers.sh) and its exit status fails
// the test anyway, so the program tested is the program shipped. Descriptors 1 and 2 are never
// left closed: the next socket a library opened would take the number and get our writes.
void silence_standard_output() {
  bool input_closed = is_closed(STDIN_FILENO);
  int nothing = open_nothing();
  if (nothing < 0) return;
  // A copy above 2 for the handler, as the first one may have taken a closed standard number.
  end_of_input = fcntl(nothing, F_DUPFD_CLOEXEC, 3);
  if (nothing > STDERR_FILENO) close(nothing);
  if (end_of_input < 0) return;
  if (input_closed) dup2(end_of_input, STDIN_FILENO);
  dup2(end_of_input, STDOUT_FILENO);
  dup2(end_of_input, STDERR_FILENO);
}

void catch_stop_requests(StopRequest& stop) {
  request = &stop;
  program_thread = pthread_self();
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  // No SA_RESTART: a blocked read must come back. The other stop signals wait while the handler
  // runs, and then find their default action.
  action.sa_flags = 0;
  sigemptyset(&action.sa_mask);
  for (int signum : stop_signals) sigaddset(&action.sa_mask, signum);
  for (std::size_t i = 0; i < std::size(stop_signals); ++i) {
    struct sigaction previous {};
    sigaction(stop_signals[i], nullptr, &previous);
    // A signal ignored from the start (nohup, a background job of a non-interactive shell) is
    // meant to be ignored by this program too.
    if (previous.sa_handler == SIG_IGN) continue;
    caught[i] = sigaction(stop_signals[i], &action, nullptr) == 0;
  }
}

void end_as_stop_asks(const StopRequest& stop) {
  int signum = stop.cause();
  if (signum == 0) return;
  restore_default_actions();
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, signum);
  sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
  raise(signum);
  // Not reached: the default action of each stop signal ends the process.
  _exit(128 + signum);
}

}  // namespace hexmidi
