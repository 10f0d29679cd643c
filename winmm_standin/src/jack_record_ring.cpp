#include "jack_record_ring.h"

#include <jack/midiport.h>

#include <cstring>

namespace winmm_standin {

namespace {

// Ahead of the bytes of every message in the ring.
struct RecordHeader {
  std::uint32_t length;
  RecordPart part;
  jack_nframes_t sent_at;
};

// Room for well over a second of a full-speed burst of short messages, and for a long message's
// pieces to be written well ahead of the callback.
constexpr std::size_t ring_size = std::size_t{1} << 20;

// Copies n bytes that start `skip` bytes into the readable part of the ring, across its wrap.
void copy_from_ring(jack_ringbuffer_t* ring, std::size_t skip, std::uint8_t* to, std::size_t n) {
  jack_ringbuffer_data_t parts[2];
  jack_ringbuffer_get_read_vector(ring, parts);
  for (const auto& part : parts) {
    if (n == 0) return;
    if (skip >= part.len) {
      skip -= part.len;
      continue;
    }
    std::size_t take = std::min(n, part.len - skip);
    std::memcpy(to, part.buf + skip, take);
    to += take;
    n -= take;
    skip = 0;
  }
}

}  // namespace

JackRecordRing::~JackRecordRing() {
  if (ring_ != nullptr) jack_ringbuffer_free(ring_);
}

bool JackRecordRing::create() {
  ring_ = jack_ringbuffer_create(ring_size);
  if (ring_ == nullptr) return false;
  // Touch every page now: the callback must never take a page fault on first use, and a run's
  // memory should not depend on how far a burst happens to fill the ring. (mlock alone is not
  // enough: it may be refused, or do nothing, without a word.)
  std::memset(ring_->buf, 0, ring_->size);
  jack_ringbuffer_mlock(ring_);
  return true;
}

bool JackRecordRing::has_room_for(std::size_t length) const {
  return jack_ringbuffer_write_space(ring_) >= sizeof(RecordHeader) + length;
}

// The header and bytes are published together, so the callback never sees half a record.
void JackRecordRing::write(const std::uint8_t* bytes, std::size_t length, RecordPart part,
                           jack_nframes_t sent_at) {
  RecordHeader header{static_cast<std::uint32_t>(length), part, sent_at};
  jack_ringbuffer_data_t spans[2];
  jack_ringbuffer_get_write_vector(ring_, spans);
  auto put = [&spans](const void* from, std::size_t n) {
    auto* source = static_cast<const char*>(from);
    for (auto& span : spans) {
      // A ring that does not wrap leaves the second span null: memcpy must not see it.
      std::size_t take = std::min(n, span.len);
      if (take == 0) continue;
      std::memcpy(span.buf, source, take);
      span.buf += take;
      span.len -= take;
      source += take;
      n -= take;
    }
  };
  put(&header, sizeof header);
  put(bytes, length);
  jack_ringbuffer_write_advance(ring_, sizeof header + length);
  written_ += sizeof header + length;
}

void JackRecordRing::drop_long_pieces(std::uint64_t from, std::uint64_t before) {
  drop_long_from_.store(from, std::memory_order_relaxed);
  drop_long_before_.store(before, std::memory_order_release);
}

// A record that fits an empty buffer and a whole period goes as one event, waiting for the next
// cycle if need be; a longer one is split over as many cycles as it takes, a piece a cycle, or as
// many pieces as the period holds where the carriage takes only small events (netjack2). Offsets
// never go backwards, and a record already late goes at the earliest offset still free.
void JackRecordRing::write_due_events(void* buffer, jack_nframes_t frames,
                                      jack_nframes_t cycle_start, PeriodBudget& budget) {
  jack_midi_clear_buffer(buffer);
  budget.start_period(frames);
  const std::size_t whole_buffer = budget.usable_room(jack_midi_max_event_size(buffer));
  // Before first, from second: a range's end is published after its start, so a start newer than
  // the end read only makes the range empty, never wider.
  const std::uint64_t drop_before = drop_long_before_.load(std::memory_order_acquire);
  const std::uint64_t drop_from = drop_long_from_.load(std::memory_order_relaxed);
  jack_nframes_t earliest_free = 0;

  for (;;) {
    RecordHeader header{};
    if (jack_ringbuffer_read_space(ring_) < sizeof header) break;
    jack_ringbuffer_peek(ring_, reinterpret_cast<char*>(&header), sizeof header);
    const std::size_t record_size = sizeof header + header.length;

    if (header.length == 0 || (header.part != RecordPart::message && read_position_ >= drop_from &&
                               read_position_ + record_size <= drop_before)) {
      jack_ringbuffer_read_advance(ring_, record_size);
      read_position_ += record_size;
      current_record_sent_ = 0;
      continue;
    }

    const std::optional<std::uint32_t> due = due_offset(header.sent_at, cycle_start, frames);
    if (!due) break;  // not yet: neither is anything after it
    const jack_nframes_t offset = std::max(*due, earliest_free);

    if (header.part == RecordPart::long_start) {
      std::uint8_t first = 0;
      copy_from_ring(ring_, sizeof header, &first, 1);
      long_kind_ = first == 0xF0 ? EventKind::system_exclusive : EventKind::other;
    }
    const EventKind kind = header.part == RecordPart::message ? EventKind::message : long_kind_;
    const bool continues = current_record_sent_ > 0 || header.part == RecordPart::long_rest;
    const std::size_t prefix = continues && budget.continuation_needs_f7() ? 1 : 0;
    const std::size_t room = budget.usable_room(jack_midi_max_event_size(buffer));
    const std::size_t unsent = header.length - current_record_sent_;
    const bool split = current_record_sent_ > 0 || header.length > whole_buffer ||
                       !budget.fits_a_period(header.length, kind);
    const std::size_t piece =
        split ? std::min({unsent, room - std::min(room, prefix), budget.longest_piece(kind)})
              : unsent;
    if (piece == 0 || piece + prefix > room || !budget.take(piece, kind)) break;

    jack_midi_data_t* event = jack_midi_event_reserve(buffer, offset, piece + prefix);
    if (event == nullptr) break;
    if (prefix != 0) event[0] = 0xF7;
    copy_from_ring(ring_, sizeof header + current_record_sent_, event + prefix, piece);
    earliest_free = offset;
    current_record_sent_ += piece;
    if (current_record_sent_ < header.length) {
      if (budget.many_pieces_a_period()) continue;
      break;  // the rest goes next cycle
    }

    jack_ringbuffer_read_advance(ring_, record_size);
    read_position_ += record_size;
    current_record_sent_ = 0;
  }
  consumed_.store(read_position_, std::memory_order_release);
}

}  // namespace winmm_standin
