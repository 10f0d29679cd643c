// How much room another sequencer client has left for incoming events.
#pragma once

#include <optional>

namespace winmm_standin {

struct ClientRoom {
  int cells = 0;       // the size of its input pool, in event cells
  int free_cells = 0;  // of which unused now
};

// Null when the client is gone. `sequencer_fd` is our own open sequencer. A client that reads
// through no input pool (the kernel's own) answers zero cells.
std::optional<ClientRoom> query_client_room(int sequencer_fd, int client);

}  // namespace winmm_standin
