// The records between the program's thread and the JACK process callback: a lock-free ring that
// the program's thread writes whole messages (and pieces of long ones) into, each stamped with the
// frame at which it was sent, and that the callback turns into the MIDI events of its port's
// buffer, each one period after it was sent, so that latency is one period and the stream's own
// timing is kept to the frame. The callback side never allocates, locks, blocks or prints.
#pragma once

#include <jack/ringbuffer.h>
#include <jack/types.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "period_budget.h"

namespace winmm_standin {

// What a record in the ring is: a long message enters it in pieces, each a record.
enum class RecordPart : std::uint32_t { message, long_start, long_rest };

// Where in a cycle of `frames` frames that began at `cycle_start` a record sent at `sent_at` goes:
// one period after it was sent, or at once if that is already past; nothing when it is for a later
// cycle. A record stamped more than two periods ahead of the cycle is due at once too: only a
// frame clock that stepped back (a change of driver, say) stamps so far ahead, and waiting for the
// clock to catch up would hold the stream for as long as the step.
inline std::optional<std::uint32_t> due_offset(std::uint32_t sent_at, std::uint32_t cycle_start,
                                               std::uint32_t frames) {
  // Signed, across the wrap of the frame clock.
  const auto ahead = static_cast<std::int32_t>(sent_at - cycle_start);
  const auto period = static_cast<std::int64_t>(frames);
  const std::int64_t due = std::int64_t{ahead} + period;
  if (due < 0 || ahead > 2 * period) return 0;
  if (due >= period) return std::nullopt;
  return static_cast<std::uint32_t>(due);
}

class JackRecordRing {
 public:
  JackRecordRing() = default;
  ~JackRecordRing();
  JackRecordRing(const JackRecordRing&) = delete;
  JackRecordRing& operator=(const JackRecordRing&) = delete;

  // Allocates the ring and touches every page of it. False when it cannot be had.
  bool create();

  // The program's side.
  // Whether a record of `length` bytes fits now.
  bool has_room_for(std::size_t length) const;
  // Writes one record, which must fit. A reset may drop the pieces of a long message
  // (drop_long_pieces).
  void write(const std::uint8_t* bytes, std::size_t length, RecordPart part,
             jack_nframes_t sent_at);
  // Ring bytes written so far, and taken by the callback: positions in the stream of records.
  std::uint64_t written() const { return written_; }
  std::uint64_t consumed() const { return consumed_.load(std::memory_order_acquire); }
  // The callback drops the pieces of a long message that lie in [from, before) and have not left.
  // One range at a time: the caller waits until the callback has passed the earlier one.
  void drop_long_pieces(std::uint64_t from, std::uint64_t before);
  std::uint64_t end_of_dropped_range() const {
    return drop_long_before_.load(std::memory_order_relaxed);
  }

  // The callback's side: writes every record that is due in this cycle into the port's buffer,
  // oldest first, while the buffer and the period's budget have room.
  void write_due_events(void* port_buffer, jack_nframes_t frames, jack_nframes_t cycle_start,
                        PeriodBudget& budget);

 private:
  jack_ringbuffer_t* ring_ = nullptr;
  std::uint64_t written_ = 0;  // program's thread only
  std::atomic<std::uint64_t> consumed_{0};
  // Pieces of a long message that a reset took back, as the range of ring positions they lie in.
  // Only pieces, never a short message in between, and never those of an earlier long message,
  // which had been let go and so count as sent.
  std::atomic<std::uint64_t> drop_long_from_{0};
  std::atomic<std::uint64_t> drop_long_before_{0};
  // Callback thread only.
  std::uint64_t read_position_ = 0;
  std::size_t current_record_sent_ = 0;     // bytes of the oldest record already sent, when split
  EventKind long_kind_ = EventKind::other;  // that of the long message whose pieces are going out
};

}  // namespace winmm_standin
