// The sequencer hands an event to a user-space client by copying it into that client's input
// pool, never waiting: when the pool is full the event is dropped and the client's next read
// fails and throws away everything it had not read yet. Blocking output does not help, as it only
// waits for our own pool. So before sending, we look at the destination's free input cells.
//
// libasound's snd_seq_get_client_pool answers only for our own client, although the kernel
// answers for any; hence the ioctl. It lives in its own file because the kernel's header and
// libasound's declare the same structures.
#include "alsa_client_room.h"

#include <sound/asequencer.h>
#include <sys/ioctl.h>

namespace winmm_standin {

std::optional<ClientRoom> query_client_room(int sequencer_fd, int client) {
  snd_seq_client_pool pool{};
  pool.client = client;
  if (ioctl(sequencer_fd, SNDRV_SEQ_IOCTL_GET_CLIENT_POOL, &pool) < 0) return std::nullopt;
  return ClientRoom{pool.input_pool, pool.input_free};
}

}  // namespace winmm_standin
