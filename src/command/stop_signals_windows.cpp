// Stop requests on Windows: the console's Ctrl-C, Ctrl-Break and close events. Windows runs the
// control handler on a thread of its own, so the handler can wait; the reset and the close still
// happen on the program's thread, and the process then ends with the status Windows gives a
// console program that Ctrl-C ended.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "stop_signals.h"

namespace hexmidi {

namespace {

StopRequest* request = nullptr;
HANDLE program_thread = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  // A second event while stopping: end now.
  if (!request->ask(static_cast<int>(event) + 1)) {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
  }
  // The program's thread may be blocked in a read of standard input, or about to start one: its
  // synchronous I/O is cancelled until it has finished reading (the read then fails, which the
  // loop takes as the end of the input). The port's calls after that are left alone.
  while (!request->reading_over()) {
    CancelSynchronousIo(program_thread);
    Sleep(1);
  }
  // Returning would let Windows end the process at once for the close event (and run the next
  // handler, the default one that ends it, for the others): the program's thread ends it instead,
  // once the port is reset and closed.
  Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void silence_standard_output() {
  int nothing = _open("NUL", _O_RDWR | _O_BINARY);
  if (nothing < 0) return;
  // _dup2 onto 1 and 2 also sets the process's standard handles, which is where anything not
  // going through the C library would write.
  _dup2(nothing, 1);
  _dup2(nothing, 2);
  if (nothing > 2) _close(nothing);
}

void catch_stop_requests(StopRequest& stop) {
  request = &stop;
  // A real handle: GetCurrentThread's pseudo-handle would name the handler's own thread there.
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &program_thread, 0,
                  FALSE, DUPLICATE_SAME_ACCESS);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void end_as_stop_asks(const StopRequest& stop) {
  if (!stop.asked()) return;
  ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

}  // namespace hexmidi
