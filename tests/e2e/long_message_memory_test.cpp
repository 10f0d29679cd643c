// What a long message costs in memory: one allocation of exactly its count of bytes, made once,
// not a copy or a growing buffer per byte field. The program runs against the recording stand-in,
// which keeps nothing in counting-only mode, while every allocation the process makes is counted.
//
// operator new in all its forms is replaced here; so are the C allocation functions, by
// forwarding to glibc's own, except under AddressSanitizer, which must keep them to itself. This
// is a test binary of its own so that the replacements touch no other test.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "command/command_loop.h"
#include "recording_midi_out.h"

#if defined(__SANITIZE_ADDRESS__)
#define HEXMIDI_COUNT_MALLOC 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HEXMIDI_COUNT_MALLOC 0
#endif
#endif
#ifndef HEXMIDI_COUNT_MALLOC
#define HEXMIDI_COUNT_MALLOC 1
#endif

namespace {

// Plain arrays and flags: counting must not allocate.
constexpr std::size_t most_sizes = 64;
struct Allocations {
  bool counting = false;
  std::size_t new_calls = 0;
  std::size_t malloc_calls = 0;
  std::size_t new_sizes[most_sizes]{};
};
Allocations allocations;

void count_new(std::size_t size) {
  if (!allocations.counting) return;
  if (allocations.new_calls < most_sizes) allocations.new_sizes[allocations.new_calls] = size;
  ++allocations.new_calls;
}

void* allocate(std::size_t size) {
  count_new(size);
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* block = allocate(size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* block = allocate(size)) return block;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size);
}
// GCC sees our operator new inlined into malloc and our delete into free, and takes the pair for
// a mismatch; they are this file's own matched pair.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#if HEXMIDI_COUNT_MALLOC
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);

void* malloc(std::size_t size) {
  if (allocations.counting) ++allocations.malloc_calls;
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  if (allocations.counting) ++allocations.malloc_calls;
  return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) {
  if (allocations.counting) ++allocations.malloc_calls;
  return __libc_realloc(block, size);
}
}
#endif

namespace {

std::string long_command(std::size_t count) {
  char count_field[24];
  std::snprintf(count_field, sizeof count_field, "l %zX\n", count);
  std::string command = count_field;
  command.reserve(command.size() + 3 * count);
  command += "F0";
  for (std::size_t i = 2; i < count; ++i) command += i % 64 == 0 ? "\n55" : " 55";
  command += " F7\n";
  return command;
}

// Runs the stream with every allocation counted; the stream is opened before and closed after,
// so that only the program's own allocations are counted.
void run_counting(std::string& stream) {
  recording::reset();
  recording::set_counting_only(true);
  // The recording keeps its scripts in a map; filling it now keeps its nodes out of the count.
  for (auto function :
       {recording::Function::open, recording::Function::short_message, recording::Function::prepare,
        recording::Function::long_message, recording::Function::unprepare,
        recording::Function::reset, recording::Function::close}) {
    recording::script(function, {});
  }
  std::FILE* in = fmemopen(stream.data(), stream.size(), "r");
  ASSERT_NE(in, nullptr);
  // stdio allocates a stream's buffer at its first read; one given now keeps that out.
  static char stdio_buffer[BUFSIZ];
  std::setvbuf(in, stdio_buffer, _IOFBF, sizeof stdio_buffer);
  allocations = Allocations{};
  allocations.counting = true;
  hexmidi::run_command_loop(in);
  allocations.counting = false;
  std::fclose(in);
  recording::set_counting_only(false);
}

TEST(LongMessageMemory, OneAllocationOfExactlyTheCountPerMessage) {
  const std::size_t mebibyte = std::size_t{1} << 20;
  struct Case {
    std::string stream;
    std::vector<std::size_t> sizes;
  };
  std::vector<Case> cases{
      {long_command(mebibyte), {mebibyte}},
      {long_command(6) + "m 7F3C90\n" + long_command(0x10000), {6, 0x10000}},
      // A negative count is refused before anything is allocated.
      {"l -5 F0 F7 l FFFFFFFF m 40\n", {}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.stream.substr(0, 40));
    run_counting(c.stream);
    const std::size_t seen = std::min(allocations.new_calls, most_sizes);
    std::vector<std::size_t> sizes(allocations.new_sizes, allocations.new_sizes + seen);
    EXPECT_EQ(sizes, c.sizes);
    EXPECT_EQ(allocations.new_calls, c.sizes.size());
    if (HEXMIDI_COUNT_MALLOC) {
      // Every operator new above went through malloc once; nothing else may have.
      EXPECT_EQ(allocations.malloc_calls, c.sizes.size());
    }
  }
}

}  // namespace
