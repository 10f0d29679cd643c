// The "l" command: a count, that many byte fields, sent whole through the run's one header and
// waited for before the next command is read.
#pragma once

#include <cstdio>

#include "../command/run_state.h"

namespace hexmidi {

void carry_out_long_message(std::FILE* in, RunState& run);

}  // namespace hexmidi
