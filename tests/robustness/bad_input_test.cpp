// Bad input, in the program's own process, against the recording stand-in: each stream must end
// the run normally (port reset and closed, status 0) with exactly the messages that the grammar
// and the program's handling of failed fields allow. Messages are written back in the stream's
// own notation, "m 7F3C90" and "l F0 F7", so that a failure reads like the input.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "command/command_loop.h"
#include "recording_midi_out.h"

namespace {

using recording::Call;
using recording::Function;
using Sent = std::vector<std::string>;

std::string hex(unsigned value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", width, value);
  return text;
}

// What went out, in order. The run must also have ended as every run does, with the port reset
// and closed, and status 0.
Sent run(const std::string& text) {
  recording::reset();
  std::FILE* in =
      text.empty() ? std::tmpfile() : fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  EXPECT_EQ(hexmidi::run_command_loop(in), 0);
  std::fclose(in);

  const auto& calls = recording::calls();
  EXPECT_GE(calls.size(), 3u);
  if (calls.size() >= 3) {
    EXPECT_EQ(calls[calls.size() - 2].function, Function::reset);
    EXPECT_EQ(calls.back().function, Function::close);
  }
  Sent sent;
  for (const Call& call : calls) {
    if (call.function == Function::short_message) {
      sent.push_back("m " + hex(call.message, 1));
    } else if (call.function == Function::long_message) {
      std::string message = "l";
      // Appended a piece at a time: GCC 12 warns, wrongly, of overlapping copies in the
      // temporary that " " + hex(...) makes, once optimised.
      for (std::uint8_t byte : call.bytes) message.append(" ").append(hex(byte, 2));
      sent.push_back(message);
    }
  }
  return sent;
}

std::string with_nul(std::string text) {
  for (char& c : text) {
    if (c == '@') c = '\0';
  }
  return text;
}

TEST(BadInput, NegativeCountsReadNoFields) {
  // A minus sign negates modulo 2 to the 32nd, so -FFFFFFFF is a count of 1, not a negative one.
  EXPECT_EQ(run("l -80000000 m 90"), (Sent{"m 90"}));
  EXPECT_EQ(run("l -7FFFFFFF 1 2 m 90"), (Sent{"m 90"}));
  EXPECT_EQ(run("l 8000000F F0 F7 m 90"), (Sent{"m 90"}));
  EXPECT_EQ(run("l -1 l 1 F7"), (Sent{"l F7"}));
  EXPECT_EQ(run("l -FFFFFFFF F0 m 90"), (Sent{"l F0", "m 90"}));
}

TEST(BadInput, LargestCountThenEndOfInputFinishesAtOnce) {
  // Two billion fields would take minutes to attempt; the first that fails on the end of the
  // input ends the message. The test's time limit is what catches a run that tries them all.
  EXPECT_EQ(run("m 90 l 7FFFFFFF"), (Sent{"m 90"}));
  EXPECT_EQ(run("m 90 l 7FFFFFFF F0 7E 7F 09 01 F7\n"), (Sent{"m 90"}));
  EXPECT_EQ(run("l 7FFFFFFF F0 m 91"), (Sent{"m 91"}));
}

TEST(BadInput, FieldsCutOffByTheEndOfInput) {
  // A field the end of input completes is read; one it cuts off before any digit is not, and a
  // long message short of its count is dropped.
  EXPECT_EQ(run("m 90 m"), (Sent{"m 90"}));
  EXPECT_EQ(run("m 90 m \n\t "), (Sent{"m 90"}));
  EXPECT_EQ(run("m 90 m +"), (Sent{"m 90"}));
  EXPECT_EQ(run("m 7F3C9"), (Sent{"m 7F3C9"}));
  EXPECT_EQ(run("m 90 l"), (Sent{"m 90"}));
  EXPECT_EQ(run("m 90 l 3"), (Sent{"m 90"}));
  EXPECT_EQ(run("m 90 l 3 F0 7E"), (Sent{"m 90"}));
  EXPECT_EQ(run("m 90 l 3 F0 7E -"), (Sent{"m 90"}));
  EXPECT_EQ(run("l 2 F0 F7"), (Sent{"l F0 F7"}));
}

TEST(BadInput, NulAndCtrlZAreOrdinaryCharacters) {
  // Each ends a field and is then skipped as a command; 0x1A ends nothing on this system.
  EXPECT_EQ(run(with_nul("m 90@m 91@")), (Sent{"m 90", "m 91"}));
  EXPECT_EQ(run(with_nul("@@m 90")), (Sent{"m 90"}));
  EXPECT_EQ(run(with_nul("m @ 90 m 91")), (Sent{"m 91"}));
  EXPECT_EQ(run(with_nul("l 2 F0@F7 m 92")), (Sent{"m 92"}));
  EXPECT_EQ(run("m 90\x1am 91\x1a"), (Sent{"m 90", "m 91"}));
  EXPECT_EQ(run("\x1a\x1al 2 F0\x1a F7"), (Sent{}));
  EXPECT_EQ(run("\x1a\x1al 2 F0 F7\x1a"), (Sent{"l F0 F7"}));
}

TEST(BadInput, EightMegabytesOfDigitsInOneField) {
  const std::string zeros(8 << 20, '0');
  EXPECT_EQ(run("m " + zeros + "7F3C90 m 91"), (Sent{"m 7F3C90", "m 91"}));
  EXPECT_EQ(run("l " + zeros + "2 " + zeros + "F0 " + zeros + "1F7\n"), (Sent{"l F0 F7"}));
  // Which 32 bits of a number this long are kept is the C library's business; that the field
  // is one field, and what follows it is read as before, is ours.
  Sent sent = run("m " + std::string(8 << 20, 'F') + " m 91");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1], "m 91");
}

TEST(BadInput, HundredMegabytesOfWhiteSpace) {
  std::string space;
  space.reserve(100 << 20);
  const std::string mixed = " \t\n\r\v\f  \n";
  while (space.size() < (100u << 20)) space += mixed;
  // Before a field it is skipped in one read; between commands, one command character at a time.
  EXPECT_EQ(run("m" + space + "7F3C90\nl 2" + space + "F0" + space + "F7\n"),
            (Sent{"m 7F3C90", "l F0 F7"}));
  EXPECT_EQ(run("m 90\n" + space + "m 91" + space), (Sent{"m 90", "m 91"}));
}

TEST(BadInput, RandomBinaryBetweenCommands) {
  // Random bytes, with no "m" or "l" among them, between commands that each end with a line end:
  // every byte is skipped and every command arrives exactly, in order.
  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string text;
  Sent expected;
  for (int command = 0; command < 2000; ++command) {
    for (int i = byte(random); i > 0; --i) {
      int c = byte(random);
      if (c != 'm' && c != 'l') text += static_cast<char>(c);
    }
    unsigned value = static_cast<unsigned>(byte(random)) << 16 | 0x3C90;
    if (command % 3 == 0) {
      text += "\nl 3 F0 " + hex(value >> 16, 2) + " F7\n";
      expected.push_back("l F0 " + hex(value >> 16, 2) + " F7");
    } else {
      text += "\nm " + hex(value, 6) + "\n";
      expected.push_back("m " + hex(value, 1));
    }
  }
  EXPECT_EQ(run(text), expected);
}

}  // namespace
