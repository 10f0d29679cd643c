// A long message whose buffer can't be allocated: nothing is sent and the stream stays in step.
// The array allocation functions are replaced for this test binary so that one size fails.
#include <gtest/gtest.h>

#include "refusable_array_new.h"
#include "stream_runner.h"

namespace {
std::size_t refused_size = 0;
}

bool refuse_array_allocation(std::size_t size) {
  return refused_size != 0 && size == refused_size;
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
