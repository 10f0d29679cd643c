// The "l" command and its prepared-header cycle, against the recording stand-in.
#include <gtest/gtest.h>

#include <vector>

#include "stream_runner.h"

using recording::Call;
using recording::Function;
using testing_support::run_stream;

namespace {

using Bytes = std::vector<std::uint8_t>;

class LongMessage : public ::testing::Test {
 protected:
  void SetUp() override { recording::reset(); }

  // The functions called between open and reset.
  static std::vector<Function> body() {
    std::vector<Function> result;
    const auto& calls = recording::calls();
    for (std::size_t i = 1; i + 2 < calls.size(); ++i) result.push_back(calls[i].function);
    return result;
  }

  static std::vector<Bytes> sent_messages() {
    std::vector<Bytes> result;
    for (const Call& call : recording::calls()) {
      if (call.function == Function::long_message) result.push_back(call.bytes);
    }
    return result;
  }

  static const Call& first(Function function) {
    for (const Call& call : recording::calls()) {
      if (call.function == function) return call;
    }
    throw std::runtime_error("no such call");
  }
};

TEST_F(LongMessage, SendsBytesThroughPrepareSendUnprepare) {
  // The MIDI standard's GM System On: F0 7E 7F 09 01 F7.
  run_stream("l 6 F0 7E 7F 09 01 F7\n");
  EXPECT_EQ(body(), (std::vector{Function::prepare, Function::long_message, Function::unprepare}));
  EXPECT_EQ(sent_messages(), (std::vector<Bytes>{Bytes{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}}));
  const Call& prepare = first(Function::prepare);
  EXPECT_EQ(prepare.fields.dwBufferLength, 6u);
  EXPECT_EQ(prepare.fields.dwFlags, 0u);
  for (const Call& call : recording::calls()) {
    if (call.header != nullptr) {
      EXPECT_EQ(call.header_size, sizeof(MIDIHDR));
    }
  }
}

TEST_F(LongMessage, ByteFieldsAnyLayoutLowEightBitsOnly) {
  run_stream("l\n3\nF0\n   7E\t\t\n\n1F7 l 2 0x12 -1");
  EXPECT_EQ(sent_messages(), (std::vector<Bytes>{Bytes{0xF0, 0x7E, 0xF7}, Bytes{0x12, 0xFF}}));
}

TEST_F(LongMessage, ContentIsNotExamined) {
  run_stream("l 3 90 3C 7F l 1 F7");
  EXPECT_EQ(sent_messages(), (std::vector<Bytes>{Bytes{0x90, 0x3C, 0x7F}, Bytes{0xF7}}));
}

TEST_F(LongMessage, UnprepareIsCalledAgainAtOnceWhileStillPlaying) {
  constexpr int still_playing = 5;
  recording::script(Function::unprepare,
                    std::vector<MMRESULT>(still_playing, MIDIERR_STILLPLAYING));
  run_stream("l 1 F7 m 90");
  std::vector<Function> expected{Function::prepare, Function::long_message};
  expected.insert(expected.end(), still_playing + 1, Function::unprepare);
  expected.push_back(Function::short_message);
  EXPECT_EQ(body(), expected);
}

TEST_F(LongMessage, AnyOtherUnprepareAnswerEndsTheWait) {
  recording::script(Function::unprepare, {MIDIERR_STILLPLAYING, MMSYSERR_INVALHANDLE});
  run_stream("l 1 F7 m 90");
  EXPECT_EQ(body(), (std::vector{Function::prepare, Function::long_message, Function::unprepare,
                                 Function::unprepare, Function::short_message}));
}

TEST_F(LongMessage, RefusedPrepareMeansNoSendAndNoUnprepare) {
  recording::script(Function::prepare, {MMSYSERR_INVALPARAM});
  run_stream("l 2 F0 F7 m 90 l 1 F7");
  EXPECT_EQ(body(), (std::vector{Function::prepare, Function::short_message, Function::prepare,
                                 Function::long_message, Function::unprepare}));
}

TEST_F(LongMessage, HeaderFilledAnewForEveryMessage) {
  // The stand-in marks the header the way a port would; the program must not carry that over.
  recording::on_call([](const Call& call) {
    if (call.function == Function::prepare) {
      const_cast<MIDIHDR*>(call.header)->dwFlags |= MHDR_PREPARED | MHDR_DONE;
    }
  });
  run_stream("l 2 F0 F7\nl 3 1 2 3\n");
  std::vector<const Call*> prepares;
  for (const Call& call : recording::calls()) {
    if (call.function == Function::prepare) prepares.push_back(&call);
  }
  ASSERT_EQ(prepares.size(), 2u);
  EXPECT_EQ(prepares[0]->header, prepares[1]->header) << "one header for the whole run";
  EXPECT_EQ(prepares[1]->fields.dwFlags, 0u);
  EXPECT_EQ(prepares[1]->fields.dwBufferLength, 3u);
  EXPECT_EQ(prepares[1]->bytes, (Bytes{1, 2, 3}));
}

TEST_F(LongMessage, OnlyBufferLengthAndFlagsAreWritten) {
  // Fill the header's other fields through the first prepare; the second must see them kept.
  bool marked = false;
  recording::on_call([&marked](const Call& call) {
    if (call.function == Function::prepare && !marked) {
      auto* header = const_cast<MIDIHDR*>(call.header);
      header->dwUser = 0x5555;
      header->dwBytesRecorded = 7;
      header->dwOffset = 9;
      header->dwReserved[3] = 11;
      marked = true;
    }
  });
  run_stream("l 1 F7 l 1 F7");
  const Call* second = nullptr;
  for (const Call& call : recording::calls()) {
    if (call.function == Function::prepare) second = &call;
  }
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->fields.dwUser, 0x5555u);
  EXPECT_EQ(second->fields.dwBytesRecorded, 7u);
  EXPECT_EQ(second->fields.dwOffset, 9u);
  EXPECT_EQ(second->fields.dwReserved[3], 11u);
}

TEST_F(LongMessage, CountOfZeroAsksPrepareForAnEmptyBuffer) {
  recording::script(Function::prepare, {MMSYSERR_INVALPARAM});
  run_stream("l 0 m 90");
  EXPECT_EQ(body(), (std::vector{Function::prepare, Function::short_message}));
  EXPECT_EQ(first(Function::prepare).fields.dwBufferLength, 0u);
}

TEST_F(LongMessage, NegativeCountReadsNoFieldAndSendsNothing) {
  // With no field read, "5" and "F7" are skipped character by character: the "m" still counts.
  for (std::string text : {"l -5 F7 m 90", "l 80000000 F7 m 90", "l FFFFFFFF m 90"}) {
    recording::reset();
    run_stream(text);
    EXPECT_EQ(body(), (std::vector{Function::short_message})) << text;
  }
}

TEST_F(LongMessage, FailedFieldSendsNothingAndStoppingCharacterIsNextCommand) {
  // A count that fails; a byte that fails on an "m"; input ending inside the bytes.
  run_stream("l zz m 1 l 3 F0 m 2 l 4 F0 7E");
  EXPECT_EQ(body(), (std::vector{Function::short_message, Function::short_message}));
  std::vector<DWORD> messages;
  for (const Call& call : recording::calls()) {
    if (call.function == Function::short_message) messages.push_back(call.message);
  }
  EXPECT_EQ(messages, (std::vector<DWORD>{1, 2}));
}

TEST_F(LongMessage, HugeCountWithEndOfInputFinishesAtOnce) {
  // Two billion fields are not attempted: the first one fails on the end of the input.
  run_stream("l 7FFFFFFF F0");
  EXPECT_TRUE(body().empty());
}

}  // namespace
