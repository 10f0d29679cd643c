// The stand-in's MIDI output API over a backend that captures what it is handed. Expected bytes
// come from the MIDI 1.0 standard: status bytes, their data lengths, running status.
#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "backend.h"
#include "winmm_standin.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Captured {
  std::vector<Bytes> messages;
  std::vector<Bytes> long_messages;
  int advances_until_done = 0;  // how many advance calls a long message takes
  int advances = 0;
  bool abandoned = false;
  bool drained = false;
  bool available = true;
};

Captured captured;

class CapturingBackend final : public winmm_standin::MidiBackend {
 public:
  MMRESULT send_message(const std::uint8_t* bytes, std::size_t length) override {
    captured.messages.emplace_back(bytes, bytes + length);
    return MMSYSERR_NOERROR;
  }
  MMRESULT start_long_message(const std::uint8_t* bytes, std::size_t length) override {
    captured.long_messages.emplace_back(bytes, bytes + length);
    captured.advances = 0;
    return MMSYSERR_NOERROR;
  }
  bool advance_long_message() override {
    return ++captured.advances > captured.advances_until_done;
  }
  void abandon_long_message() override { captured.abandoned = true; }
  void drain() override { captured.drained = true; }
};

}  // namespace

namespace winmm_standin {
std::unique_ptr<MidiBackend> open_first_output_backend() {
  if (!captured.available) return nullptr;
  return std::make_unique<CapturingBackend>();
}
}  // namespace winmm_standin

namespace {

class StandInApi : public ::testing::Test {
 protected:
  void SetUp() override {
    captured = Captured{};
    ASSERT_EQ(midiOutOpen(&port, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ASSERT_NE(port, nullptr);
  }
  void TearDown() override {
    if (port != nullptr) midiOutClose(port);
  }

  // What each packed value is sent as, one message a value.
  std::vector<Bytes> send_all(std::initializer_list<DWORD> values) {
    captured.messages.clear();
    for (DWORD value : values) midiOutShortMsg(port, value);
    return captured.messages;
  }

  HMIDIOUT port = nullptr;
};

TEST_F(StandInApi, UnpacksAsManyDataBytesAsTheStatusTakes) {
  EXPECT_EQ(send_all({0x7F3C90, 0x403C80, 0x102AA0, 0x7F07B0, 0xFF05C0, 0xFF40D0, 0x7F00E0}),
            (std::vector<Bytes>{{0x90, 0x3C, 0x7F},
                                {0x80, 0x3C, 0x40},
                                {0xA0, 0x2A, 0x10},
                                {0xB0, 0x07, 0x7F},
                                {0xC0, 0x05},
                                {0xD0, 0x40},
                                {0xE0, 0x00, 0x7F}}));
  // System common and real time: F1 and F3 take one, F2 two, F6 and F8-FF none.
  EXPECT_EQ(send_all({0x7723F1, 0x7F0102F2, 0x3305F3, 0x7777F6, 0x7777F8, 0xFAu, 0x1234FF}),
            (std::vector<Bytes>{
                {0xF1, 0x23}, {0xF2, 0x02, 0x01}, {0xF3, 0x05}, {0xF6}, {0xF8}, {0xFA}, {0xFF}}));
}

TEST_F(StandInApi, TopByteAndUnusedBytesAreIgnored) {
  EXPECT_EQ(send_all({0xAB7F3C90, 0xFFFF05C9}),
            (std::vector<Bytes>{{0x90, 0x3C, 0x7F}, {0xC9, 0x05}}));
}

TEST_F(StandInApi, RunningStatusUsesTheLastChannelStatus) {
  // 90 3C 7F, then running status: the value's low bytes are the data of another note-on.
  EXPECT_EQ(
      send_all({0x7F3C90, 0x00403E, 0xFE, 0x4142}),
      (std::vector<Bytes>{{0x90, 0x3C, 0x7F}, {0x90, 0x3E, 0x40}, {0xFE}, {0x90, 0x42, 0x41}}));
  // One data byte for a program change.
  EXPECT_EQ(send_all({0x05C3, 0x07}), (std::vector<Bytes>{{0xC3, 0x05}, {0xC3, 0x07}}));
}

TEST_F(StandInApi, RunningStatusRefusedWithNoneOrAfterSystemCommon) {
  EXPECT_EQ(midiOutShortMsg(port, 0x403C), MMSYSERR_INVALPARAM);
  midiOutShortMsg(port, 0x7F3C90);
  midiOutShortMsg(port, 0xF6);
  EXPECT_EQ(midiOutShortMsg(port, 0x403C), MMSYSERR_INVALPARAM);
  EXPECT_EQ(captured.messages, (std::vector<Bytes>{{0x90, 0x3C, 0x7F}, {0xF6}}));
}

TEST_F(StandInApi, SystemExclusiveStatusesAreForLongMessagesOnly) {
  for (DWORD status : {0xF0u, 0xF4u, 0xF5u, 0xF7u}) {
    EXPECT_EQ(midiOutShortMsg(port, status), MMSYSERR_INVALPARAM) << status;
  }
  EXPECT_TRUE(captured.messages.empty());
}

TEST_F(StandInApi, ResetTurnsOffSoundingNotesThenSustainOnEveryChannel) {
  // Sounding after this: channel 9 key 24 and channel 0 keys 40 and 3C (in that order of sending).
  send_all({0x7F2499, 0x7F3C90, 0x7F4090, 0x7F4290, 0x004290, 0x7F4590, 0x404580, 0x7F3C90});
  captured.messages.clear();
  EXPECT_EQ(midiOutReset(port), MMSYSERR_NOERROR);
  std::vector<Bytes> expected{{0x80, 0x3C, 0x00}, {0x80, 0x40, 0x00}, {0x89, 0x24, 0x00}};
  for (std::uint8_t channel = 0; channel < 16; ++channel) {
    expected.push_back({std::uint8_t(0xB0 | channel), 0x40, 0x00});
  }
  EXPECT_EQ(captured.messages, expected);

  // The notes are forgotten: a second reset sends only the sustain-offs.
  captured.messages.clear();
  midiOutReset(port);
  EXPECT_EQ(captured.messages.size(), 16u);
}

TEST_F(StandInApi, OpenRefusesOtherDevicesAndAMissingPort) {
  HMIDIOUT other = reinterpret_cast<HMIDIOUT>(1);
  EXPECT_EQ(midiOutOpen(&other, 1, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(other, nullptr);
  captured.available = false;
  other = reinterpret_cast<HMIDIOUT>(1);
  EXPECT_EQ(midiOutOpen(&other, 0, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(other, nullptr);
}

TEST_F(StandInApi, NullAndClosedHandlesAnswerInvalidHandle) {
  MIDIHDR header{};
  Bytes data{0xF0, 0xF7};
  header.lpData = reinterpret_cast<LPSTR>(data.data());
  header.dwBufferLength = 2;
  ASSERT_EQ(midiOutClose(port), MMSYSERR_NOERROR);
  EXPECT_TRUE(captured.drained);
  for (HMIDIOUT handle : {static_cast<HMIDIOUT>(nullptr), port}) {
    EXPECT_EQ(midiOutShortMsg(handle, 0x7F3C90), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiOutPrepareHeader(handle, &header, sizeof header), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiOutLongMsg(handle, &header, sizeof header), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiOutUnprepareHeader(handle, &header, sizeof header), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiOutReset(handle), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiOutClose(handle), MMSYSERR_INVALHANDLE);
  }
  EXPECT_EQ(header.dwFlags, 0u);
  EXPECT_TRUE(captured.messages.empty());
  port = nullptr;
}

TEST_F(StandInApi, PrepareRefusesWhatCanNotBeSent) {
  Bytes data{0xF0, 0x7E, 0xF7};
  MIDIHDR header{};
  EXPECT_EQ(midiOutPrepareHeader(port, nullptr, sizeof header), MMSYSERR_INVALPARAM);
  header.lpData = reinterpret_cast<LPSTR>(data.data());
  header.dwBufferLength = 3;
  EXPECT_EQ(midiOutPrepareHeader(port, &header, sizeof header - 1), MMSYSERR_INVALPARAM);
  header.dwBufferLength = 0;
  EXPECT_EQ(midiOutPrepareHeader(port, &header, sizeof header), MMSYSERR_INVALPARAM);
  header.dwBufferLength = 3;
  header.lpData = nullptr;
  EXPECT_EQ(midiOutPrepareHeader(port, &header, sizeof header), MMSYSERR_INVALPARAM);
  EXPECT_EQ(header.dwFlags, 0u);
}

TEST_F(StandInApi, HeaderCycleFlagsAsOnWindows) {
  Bytes data{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
  MIDIHDR header{};
  header.lpData = reinterpret_cast<LPSTR>(data.data());
  header.dwBufferLength = static_cast<DWORD>(data.size());
  EXPECT_EQ(midiOutLongMsg(port, &header, sizeof header), MIDIERR_UNPREPARED);

  ASSERT_EQ(midiOutPrepareHeader(port, &header, sizeof header), MMSYSERR_NOERROR);
  EXPECT_EQ(header.dwFlags, MHDR_PREPARED);
  captured.advances_until_done = 2;
  ASSERT_EQ(midiOutLongMsg(port, &header, sizeof header), MMSYSERR_NOERROR);
  EXPECT_EQ(header.dwFlags, MHDR_PREPARED | MHDR_INQUEUE);
  EXPECT_EQ(midiOutLongMsg(port, &header, sizeof header), MIDIERR_STILLPLAYING);
  EXPECT_EQ(midiOutClose(port), MIDIERR_STILLPLAYING) << "a port with a queued message stays open";

  EXPECT_EQ(midiOutUnprepareHeader(port, &header, sizeof header), MIDIERR_STILLPLAYING);
  EXPECT_EQ(midiOutUnprepareHeader(port, &header, sizeof header), MIDIERR_STILLPLAYING);
  EXPECT_EQ(midiOutUnprepareHeader(port, &header, sizeof header), MMSYSERR_NOERROR);
  EXPECT_EQ(header.dwFlags, MHDR_DONE);
  EXPECT_EQ(captured.long_messages, (std::vector<Bytes>{data}));
}

TEST_F(StandInApi, ResetDropsAQueuedLongMessageAndMarksItDone) {
  Bytes data(100, 0x11);
  MIDIHDR header{};
  header.lpData = reinterpret_cast<LPSTR>(data.data());
  header.dwBufferLength = static_cast<DWORD>(data.size());
  midiOutPrepareHeader(port, &header, sizeof header);
  captured.advances_until_done = 1000;
  midiOutLongMsg(port, &header, sizeof header);
  captured.messages.clear();
  midiOutReset(port);
  EXPECT_TRUE(captured.abandoned);
  EXPECT_EQ(header.dwFlags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
  EXPECT_EQ(captured.messages.size(), 16u) << "then what a reset always sends";
  EXPECT_EQ(midiOutUnprepareHeader(port, &header, sizeof header), MMSYSERR_NOERROR);
}

}  // namespace
