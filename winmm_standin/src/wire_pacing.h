// Paces bytes to a port that is backed by a raw MIDI device. Such a port takes whatever fits in
// the device's output buffer and silently drops an event that does not fit, so the sender must
// know how full the buffer is: this keeps an estimate, the buffer emptying at the MIDI wire rate.
#pragma once

#include <chrono>
#include <cstddef>

namespace winmm_standin {

class WirePacer {
 public:
  using Clock = std::chrono::steady_clock;

  // A byte on a MIDI cable: 10 bits at 31250 baud.
  static constexpr std::chrono::microseconds byte_time{320};

  explicit WirePacer(std::size_t buffer_size) : buffer_size_(buffer_size) {}

  // Bytes that may be sent at `now` without overrunning the buffer.
  std::size_t room(Clock::time_point now);

  // How long from `now` until `bytes` more fit; zero when they fit already. A size larger than
  // the buffer waits for an empty buffer.
  Clock::duration wait_for(std::size_t bytes, Clock::time_point now);

  // Counts bytes just handed to the device.
  void note_sent(std::size_t bytes, Clock::time_point now);

 private:
  void let_drain(Clock::time_point now);

  std::size_t buffer_size_;
  std::size_t queued_ = 0;  // bytes still estimated to be in the buffer
  Clock::time_point drained_until_{};
};

}  // namespace winmm_standin
