// A long message whose buffer can't be allocated: nothing is sent and the stream stays in step.
// The array allocation functions are replaced for this test binary so that one size fails; all
// four go through malloc and free so that they stay paired under any sanitizer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "stream_runner.h"

namespace {
std::size_t refused_size = 0;
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (refused_size != 0 && size == refused_size) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size) {
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}

namespace {

using recording::Call;
using recording::Function;

TEST(LongMessageAllocation, RefusedBufferReadsTheFieldsAndSendsNothing) {
  recording::reset();
  refused_size = 3;
  // Nothing of the refused message goes out; the messages after it do.
  testing_support::run_stream("l 3 F0 7E F7 m 90 l 2 F0 F7");
  refused_size = 0;

  std::vector<Function> functions;
  for (const Call& call : recording::calls()) functions.push_back(call.function);
  EXPECT_EQ(functions, (std::vector{Function::open, Function::short_message, Function::prepare,
                                    Function::long_message, Function::unprepare, Function::reset,
                                    Function::close}));
}

TEST(LongMessageAllocation, SkippingStopsAtAFieldThatFails) {
  recording::reset();
  refused_size = 4;
  testing_support::run_stream("l 4 F0 m 90");
  refused_size = 0;
  ASSERT_EQ(recording::calls().size(), 4u);
  EXPECT_EQ(recording::calls()[1].function, Function::short_message);
  EXPECT_EQ(recording::calls()[1].message, 0x90u);
}

}  // namespace
