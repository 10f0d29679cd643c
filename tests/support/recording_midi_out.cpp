#include "recording_midi_out.h"

#include <array>
#include <map>

namespace recording {

namespace {

struct Recorder {
  std::vector<Call> calls;
  std::map<Function, std::deque<MMRESULT>> scripts;
  std::function<void(const Call&)> observer;
  bool counting_only = false;
  std::array<std::uint64_t, 7> counts{};
};

Recorder& recorder() {
  static Recorder instance;
  return instance;
}

// A handle that is nobody's memory: the recording never dereferences it.
HMIDIOUT const recorded_handle = reinterpret_cast<HMIDIOUT>(std::uintptr_t{0x4D494449});

MMRESULT next_result(Function function) {
  auto& queue = recorder().scripts[function];
  if (queue.empty()) return MMSYSERR_NOERROR;
  MMRESULT result = queue.front();
  queue.pop_front();
  return result;
}

// Keeps the call, whose result has already been drawn from its script, and answers that result.
MMRESULT record(Call call) {
  Recorder& r = recorder();
  ++r.counts[static_cast<std::size_t>(call.function)];
  if (r.observer) r.observer(call);
  MMRESULT result = call.result;
  if (!r.counting_only) r.calls.push_back(std::move(call));
  return result;
}

Call header_call(Function function, HMIDIOUT handle, LPMIDIHDR header, UINT size) {
  Call call;
  call.function = function;
  call.handle = reinterpret_cast<std::uintptr_t>(handle);
  call.header = header;
  call.header_size = size;
  call.result = next_result(function);
  if (header != nullptr) {
    call.fields = *header;
    if (header->lpData != nullptr && !recorder().counting_only) {
      call.bytes.assign(header->lpData, header->lpData + header->dwBufferLength);
    }
  }
  return call;
}

}  // namespace

void reset() {
  recorder() = Recorder{};
}
const std::vector<Call>& calls() {
  return recorder().calls;
}
void script(Function function, std::vector<MMRESULT> results) {
  recorder().scripts[function] = std::deque<MMRESULT>(results.begin(), results.end());
}
void on_call(std::function<void(const Call&)> observer) {
  recorder().observer = std::move(observer);
}
void set_counting_only(bool counting_only) {
  recorder().counting_only = counting_only;
}
std::uint64_t count_of(Function function) {
  return recorder().counts[static_cast<std::size_t>(function)];
}

}  // namespace recording

using recording::Call;
using recording::Function;

// Built into a winmm.dll of our own (for the checks under Wine), these are that DLL's exports, with
// the platform's calling convention: stdcall on 32-bit Windows.
#if defined(_WIN32)
#define RECORDED_API __declspec(dllexport) MMRESULT WINAPI
#else
#define RECORDED_API MMRESULT
#endif

extern "C" {

RECORDED_API midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback,
                         DWORD_PTR dwInstance, DWORD fdwOpen) {
  Call call;
  call.function = Function::open;
  call.device = uDeviceID;
  call.callback = dwCallback;
  call.instance = dwInstance;
  call.open_flags = fdwOpen;
  call.result = recording::next_result(Function::open);
  HMIDIOUT handle = call.result == MMSYSERR_NOERROR ? recording::recorded_handle : nullptr;
  if (phmo != nullptr) *phmo = handle;
  call.handle = reinterpret_cast<std::uintptr_t>(handle);
  return recording::record(std::move(call));
}

RECORDED_API midiOutShortMsg(HMIDIOUT hmo, DWORD dwMsg) {
  Call call;
  call.function = Function::short_message;
  call.handle = reinterpret_cast<std::uintptr_t>(hmo);
  call.result = recording::next_result(Function::short_message);
  call.message = dwMsg;
  return recording::record(std::move(call));
}

RECORDED_API midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
  return recording::record(recording::header_call(Function::prepare, hmo, pmh, cbmh));
}

RECORDED_API midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
  return recording::record(recording::header_call(Function::long_message, hmo, pmh, cbmh));
}

RECORDED_API midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
  return recording::record(recording::header_call(Function::unprepare, hmo, pmh, cbmh));
}

RECORDED_API midiOutReset(HMIDIOUT hmo) {
  Call call;
  call.function = Function::reset;
  call.handle = reinterpret_cast<std::uintptr_t>(hmo);
  call.result = recording::next_result(Function::reset);
  return recording::record(std::move(call));
}

RECORDED_API midiOutClose(HMIDIOUT hmo) {
  Call call;
  call.function = Function::close;
  call.handle = reinterpret_cast<std::uintptr_t>(hmo);
  call.result = recording::next_result(Function::close);
  return recording::record(std::move(call));
}

}  // extern "C"
