// The Windows multimedia MIDI output API, from wherever this system has it: the platform's own
// headers on Windows, our stand-in elsewhere. This is the only place the program's code cares
// which.
#pragma once

#if defined(_WIN32)
#include <windows.h>
// windows.h must come first: mmsystem.h relies on its types.
#include <mmsystem.h>
#else
#include "winmm_standin.h"
#endif

// The record a 32-bit Windows port expects: a header of any other size would be refused by the
// size check of every header call, and each long message dropped without a word.
static_assert(sizeof(void*) != 4 || sizeof(MIDIHDR) == 64, "MIDIHDR must be 64 bytes on 32-bit");
