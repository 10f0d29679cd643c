#include "wire_pacing.h"

#include <algorithm>

namespace winmm_standin {

// Takes off the bytes that have gone out on the wire since the last look. Whole bytes only, the
// remainder of the interval carried over, so that frequent looks lose no drain time.
void WirePacer::let_drain(Clock::time_point now) {
  if (queued_ == 0 || now <= drained_until_) {
    drained_until_ = std::max(drained_until_, now);
    return;
  }
  auto gone = static_cast<std::size_t>((now - drained_until_) / byte_time);
  if (gone >= queued_) {
    queued_ = 0;
    drained_until_ = now;
    return;
  }
  queued_ -= gone;
  drained_until_ += gone * byte_time;
}

std::size_t WirePacer::room(Clock::time_point now) {
  let_drain(now);
  return buffer_size_ - queued_;
}

WirePacer::Clock::duration WirePacer::wait_for(std::size_t bytes, Clock::time_point now) {
  std::size_t wanted = std::min(bytes, buffer_size_);
  std::size_t free_now = room(now);
  if (wanted <= free_now) return Clock::duration::zero();
  auto missing = static_cast<std::chrono::microseconds::rep>(wanted - free_now);
  return drained_until_ + missing * byte_time - now;
}

void WirePacer::note_sent(std::size_t bytes, Clock::time_point now) {
  let_drain(now);
  queued_ = std::min(buffer_size_, queued_ + bytes);
}

}  // namespace winmm_standin
