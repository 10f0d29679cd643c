// The command loop and the reading of the stream, against the recording stand-in.
#include <gtest/gtest.h>

#include <vector>

#include "command/stream_reading.h"
#include "stream_runner.h"

using recording::Call;
using recording::Function;
using testing_support::run_stream;

namespace {

class CommandLoop : public ::testing::Test {
 protected:
  void SetUp() override { recording::reset(); }

  static std::vector<Function> functions() {
    std::vector<Function> result;
    for (const Call& call : recording::calls()) result.push_back(call.function);
    return result;
  }

  static std::vector<DWORD> short_messages() {
    std::vector<DWORD> result;
    for (const Call& call : recording::calls()) {
      if (call.function == Function::short_message) result.push_back(call.message);
    }
    return result;
  }
};

TEST_F(CommandLoop, OpensPortZeroWithoutCallbackBeforeReadingAnything) {
  std::string text = "m 7F3C90\n";
  std::FILE* in = fmemopen(text.data(), text.size(), "r");
  long position_at_open = -1;
  recording::on_call([&](const Call& call) {
    if (call.function == Function::open) position_at_open = std::ftell(in);
  });
  EXPECT_EQ(hexmidi::run_command_loop(in), 0);
  std::fclose(in);

  ASSERT_FALSE(recording::calls().empty());
  const Call& open = recording::calls().front();
  EXPECT_EQ(open.function, Function::open);
  EXPECT_EQ(position_at_open, 0);
  EXPECT_EQ(open.device, 0u);
  EXPECT_EQ(open.callback, 0u);
  EXPECT_EQ(open.instance, 0u);
  EXPECT_EQ(open.open_flags, CALLBACK_NULL);
}

TEST_F(CommandLoop, EmptyOrCommandlessInputOpensResetsAndCloses) {
  for (std::string text : {"", " \t\r\n\n,;xyzMLQ 12 ff\x01"}) {
    recording::reset();
    EXPECT_EQ(run_stream(text), 0);
    EXPECT_EQ(functions(), (std::vector{Function::open, Function::reset, Function::close}))
        << "input: " << text;
  }
}

TEST_F(CommandLoop, ResetThenCloseTheOpenedHandleAtTheEnd) {
  run_stream("m 90");
  const auto& calls = recording::calls();
  ASSERT_GE(calls.size(), 3u);
  std::uintptr_t handle = calls.front().handle;
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(calls[calls.size() - 2].function, Function::reset);
  EXPECT_EQ(calls[calls.size() - 2].handle, handle);
  EXPECT_EQ(calls.back().function, Function::close);
  EXPECT_EQ(calls.back().handle, handle);
}

TEST_F(CommandLoop, ShortMessageValuesPassUnchanged) {
  // Middle C on and off, a top byte that is not zero, and the same value twice: nothing is
  // masked, interpreted, merged or dropped.
  run_stream("m 7F3C90\nm 003C80\nm AB7F3C90\nm 90 m 90\n");
  EXPECT_EQ(short_messages(), (std::vector<DWORD>{0x7F3C90, 0x3C80, 0xAB7F3C90, 0x90, 0x90}));
}

TEST_F(CommandLoop, FieldsReadAsScanfReadsThem) {
  // No separator needed between commands; case and 0x prefix don't matter; fields may follow on
  // later lines; a sign is part of the field.
  run_stream("m7F3C90m003C80\nm 7f3c90 m 0x90 m 0X90\nm\n\n\t 45\nm +10 m -1\n");
  EXPECT_EQ(short_messages(),
            (std::vector<DWORD>{0x7F3C90, 0x3C80, 0x7F3C90, 0x90, 0x90, 0x45, 0x10, 0xFFFFFFFF}));
}

TEST_F(CommandLoop, UpperCaseAndStrayTextAreSkipped) {
  run_stream("M 7F3C90\nx m 40 ,m 41 Mm 42");
  EXPECT_EQ(short_messages(), (std::vector<DWORD>{0x40, 0x41, 0x42}));
}

TEST_F(CommandLoop, ShortMessageWithFailedFieldSendsNothing) {
  // The character that stopped the field is the next command: here another "m".
  run_stream("m 90\nm zz m 80 mm 70 m");
  EXPECT_EQ(short_messages(), (std::vector<DWORD>{0x90, 0x80, 0x70}));
  EXPECT_EQ(functions().back(), Function::close);
}

TEST_F(CommandLoop, LastMessageCompletedByEndOfInput) {
  run_stream("m 1\nm 7F3C90");
  EXPECT_EQ(short_messages(), (std::vector<DWORD>{0x1, 0x7F3C90}));
}

TEST_F(CommandLoop, GoesOnAfterEveryRefusedCall) {
  recording::script(Function::open, {MMSYSERR_BADDEVICEID});
  recording::script(Function::short_message, {MMSYSERR_INVALHANDLE, MMSYSERR_INVALHANDLE});
  recording::script(Function::prepare, {MMSYSERR_INVALHANDLE});
  recording::script(Function::reset, {MMSYSERR_INVALHANDLE});
  recording::script(Function::close, {MMSYSERR_INVALHANDLE});
  EXPECT_EQ(run_stream("m 90 m 80 l 1 F7 m 70"), 0);
  EXPECT_EQ(functions(), (std::vector{Function::open, Function::short_message,
                                      Function::short_message, Function::prepare,
                                      Function::short_message, Function::reset, Function::close}));
  // With the open refused, every call goes to the empty handle.
  for (const Call& call : recording::calls()) EXPECT_EQ(call.handle, 0u);
}

TEST_F(CommandLoop, StopEndsTheRunInOrderAtTheNextCommand) {
  using F = Function;
  struct Case {
    const char* what;
    std::string stream;
    F stopped_at;          // the stop comes during the first call of this function
    int playing;           // how many unprepares answer "still playing" until the port is reset
    std::vector<F> calls;  // what the run calls, all told
  };
  const std::vector<Case> cases = {
      {"before anything is read", "m 7F3C90", F::open, 0, {F::open, F::reset, F::close}},
      {"after a short message",
       "m 7F3C90 m 403C80 l 1 F7",
       F::short_message,
       0,
       {F::open, F::short_message, F::reset, F::close}},
      // The port's reset lets go of the message, as on Windows, and only then is the buffer
      // released: once the unprepare has succeeded. No second reset before the close.
      {"while a long message is waited for",
       "m 7F3C90 l 3 F0 7E F7 m 403C80",
       F::unprepare,
       1000,
       {F::open, F::short_message, F::prepare, F::long_message, F::unprepare, F::reset,
        F::unprepare, F::close}},
  };
  for (const Case& c : cases) {
    recording::reset();
    recording::script(F::unprepare, std::vector<MMRESULT>(c.playing, MIDIERR_STILLPLAYING));
    hexmidi::StopRequest stop;
    recording::on_call([&](const Call& call) {
      if (call.function == c.stopped_at) stop.ask(2);
      if (call.function == F::reset) recording::script(F::unprepare, {});
    });
    EXPECT_EQ(run_stream(c.stream, &stop), 0) << c.what;
    EXPECT_EQ(functions(), c.calls) << c.what;
    EXPECT_TRUE(stop.reading_over()) << c.what;
  }
}

TEST(StreamReading, CommandCharacterIsTheVeryNextByte) {
  std::string text = std::string(" \n\0m", 4);
  std::FILE* in = fmemopen(text.data(), text.size(), "r");
  std::vector<int> read;
  unsigned char character = 0;
  while (hexmidi::read_command_character(in, character)) read.push_back(character);
  std::fclose(in);
  EXPECT_EQ(read, (std::vector<int>{' ', '\n', 0, 'm'}));
}

TEST(StreamReading, FailedFieldLeavesDestinationAndStoppingCharacter) {
  std::string text = "  zq";
  std::FILE* in = fmemopen(text.data(), text.size(), "r");
  std::uint32_t destination = 0x1234;
  EXPECT_FALSE(hexmidi::read_hex_field(in, destination));
  EXPECT_EQ(destination, 0x1234u);
  unsigned char next = 0;
  ASSERT_TRUE(hexmidi::read_command_character(in, next));
  EXPECT_EQ(next, 'z');
  std::fclose(in);
}

}  // namespace
