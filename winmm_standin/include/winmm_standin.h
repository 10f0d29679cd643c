// The part of the Windows multimedia MIDI output API that hexmidi uses, for systems that are not
// Windows: the same names, types, layouts and result codes as <mmsystem.h>, so that the program's
// own code is written once. The functions are implemented by libwinmm_standin over the platform's
// own MIDI services.
#pragma once

#include <cstdint>

extern "C" {

using UINT = unsigned int;
using DWORD = std::uint32_t;  // 32 bits wide, as on Windows (LLP64 unsigned long)
using DWORD_PTR = std::uintptr_t;
using LPSTR = char*;
using MMRESULT = UINT;

// DECLARE_HANDLE: a pointer to a distinct incomplete-looking struct, as windows.h makes it.
struct HMIDIOUT__ {
  int unused;
};
using HMIDIOUT = HMIDIOUT__*;
using LPHMIDIOUT = HMIDIOUT*;

// Every field of the Windows record, in the Windows order.
struct midihdr_tag {
  LPSTR lpData;
  DWORD dwBufferLength;
  DWORD dwBytesRecorded;
  DWORD_PTR dwUser;
  DWORD dwFlags;
  midihdr_tag* lpNext;
  DWORD_PTR reserved;
  DWORD dwOffset;
  DWORD_PTR dwReserved[8];
};
using MIDIHDR = midihdr_tag;
using PMIDIHDR = MIDIHDR*;
using LPMIDIHDR = MIDIHDR*;

inline constexpr DWORD CALLBACK_NULL = 0x00000000;

inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT MIDIERR_UNPREPARED = 64;
inline constexpr MMRESULT MIDIERR_STILLPLAYING = 65;

inline constexpr DWORD MHDR_DONE = 0x00000001;
inline constexpr DWORD MHDR_PREPARED = 0x00000002;
inline constexpr DWORD MHDR_INQUEUE = 0x00000004;

MMRESULT midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                     DWORD fdwOpen);
MMRESULT midiOutShortMsg(HMIDIOUT hmo, DWORD dwMsg);
MMRESULT midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiOutReset(HMIDIOUT hmo);
MMRESULT midiOutClose(HMIDIOUT hmo);

// Not part of the Windows API: an extension of this stand-in, for a program that is stopping at a
// signal. Windows' MIDI calls come back at once, but ours wait for a destination that has no room
// yet (up to seconds for one that takes nothing, and at the wire rate for a raw MIDI device), so
// they must be told. From this call on, a wait for a destination that takes nothing ends within a
// few tens of milliseconds and the destination counts as gone; the reset and close that follow
// wait no longer than that either. Async-signal-safe: it sets one lock-free atomic flag, nothing
// else, so a signal handler may call it.
void winmm_standin_stopping(void) noexcept;

// Not part of the Windows API: an extension of this stand-in, for a program that reads a live
// stream (a pipe, a terminal, a socket) and sends each message as soon as it has read it. Its
// timing is then the moment its thread wakes after each write, and on a busy machine an ordinary
// thread wakes late, behind other processes. Called before midiOutOpen, on the thread that opens
// the port and reads: a backend whose service delivers at once raises that thread, once its port
// is open and connected and only while it has one, to a real-time priority below the service's
// own threads (so that parsing never delays them) and above every ordinary process. Where the
// system refuses, or the thread already runs at a real-time priority that its user chose, nothing
// changes and nothing is reported.
void winmm_standin_live_input(void) noexcept;

}  // extern "C"
