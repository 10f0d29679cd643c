// The recording stand-in built as a winmm.dll of our own, which Wine loads in place of its own when
// it finds it next to hexmidi.exe and is told winmm=n. The real Windows binary then makes its calls
// into the recording, and this file turns them into something a test outside Wine can read:
//
//   HEXMIDI_RECORDING_LOG     the file that gets one line per call, as the call was made
//   HEXMIDI_RECORDING_SCRIPT  the results to answer, e.g. "open=2;unprepare=65,65,0"
//
// It also treats the header the way the platform does (flags, driver-owned fields), so that a
// second message through the same header finds it as a real port would have left it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "recording_midi_out.h"

using recording::Call;
using recording::Function;

namespace {

// Values a driver might leave in the fields it owns; a caller that clears or rewrites them
// between two messages shows up in the next prepare.
constexpr DWORD_PTR driver_reserved = 0x52455356;
constexpr DWORD driver_offset = 0x4F464653;
constexpr DWORD_PTR driver_reserved_array = 0x44525652;

struct OtherFields {
  DWORD bytes_recorded;
  DWORD_PTR user;
  MIDIHDR* next;
  DWORD_PTR reserved;
  DWORD offset;
  DWORD_PTR reserved_array[8];

  bool operator==(const OtherFields&) const = default;
};

OtherFields other_fields_of(const MIDIHDR& header) {
  OtherFields fields{header.dwBytesRecorded, header.dwUser,   header.lpNext,
                     header.reserved,        header.dwOffset, {}};
  for (int i = 0; i < 8; ++i) fields.reserved_array[i] = header.dwReserved[i];
  return fields;
}

struct Log {
  std::FILE* file = nullptr;
  std::vector<const MIDIHDR*> headers;            // in order of first use: header=1, 2, ...
  std::map<const MIDIHDR*, OtherFields> left_as;  // what this "driver" last left in each
};

Log& call_log() {
  static Log instance;
  return instance;
}

const char* name_of(Function function) {
  switch (function) {
    case Function::open:
      return "open";
    case Function::short_message:
      return "short";
    case Function::prepare:
      return "prepare";
    case Function::long_message:
      return "long";
    case Function::unprepare:
      return "unprepare";
    case Function::reset:
      return "reset";
    case Function::close:
      return "close";
  }
  return "?";
}

Function function_named(const std::string& name) {
  for (int i = 0; i <= static_cast<int>(Function::close); ++i) {
    auto function = static_cast<Function>(i);
    if (name == name_of(function)) return function;
  }
  std::abort();  // a mistyped script would otherwise pass as an unscripted run
}

// "open=2;unprepare=65,65,0": the results each function answers, in order.
void load_script(const char* text) {
  std::string script = text;
  std::size_t start = 0;
  while (start < script.size()) {
    std::size_t end = script.find(';', start);
    if (end == std::string::npos) end = script.size();
    std::string entry = script.substr(start, end - start);
    start = end + 1;
    std::size_t equals = entry.find('=');
    if (equals == std::string::npos) continue;
    std::vector<MMRESULT> results;
    const char* cursor = entry.c_str() + equals + 1;
    while (*cursor != '\0') {
      char* after = nullptr;
      unsigned long result = std::strtoul(cursor, &after, 10);
      if (after == cursor) std::abort();
      results.push_back(static_cast<MMRESULT>(result));
      cursor = *after == ',' ? after + 1 : after;
    }
    recording::script(function_named(entry.substr(0, equals)), results);
  }
}

std::string hex(unsigned long long value, int digits) {
  char text[32];
  std::snprintf(text, sizeof text, "%0*llX", digits, value);
  return text;
}

std::string handle_text(std::uintptr_t handle) {
  return hex(handle, 8);
}

// How far the process has read its standard input, as the system sees it: before the C library's
// first read this is 0, after it at least one buffer's worth.
std::string input_position() {
  LARGE_INTEGER position{};
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (!SetFilePointerEx(input, LARGE_INTEGER{}, &position, FILE_CURRENT)) return "?";
  return std::to_string(position.QuadPart);
}

int header_number(const MIDIHDR* header) {
  auto& headers = call_log().headers;
  for (std::size_t i = 0; i < headers.size(); ++i) {
    if (headers[i] == header) return static_cast<int>(i + 1);
  }
  headers.push_back(header);
  return static_cast<int>(headers.size());
}

// "fresh" for a zeroed header never passed before, "as-left" when the caller kept our fields.
std::string other_fields_text(const Call& call) {
  OtherFields fields = other_fields_of(call.fields);
  auto left = call_log().left_as.find(call.header);
  if (left == call_log().left_as.end() && fields == OtherFields{}) return "fresh";
  if (left != call_log().left_as.end() && fields == left->second) return "as-left";
  return "changed";
}

std::string bytes_text(const Call& call) {
  if (call.fields.lpData == nullptr) return "null";
  std::string text = "[";
  for (std::size_t i = 0; i < call.bytes.size(); ++i) {
    if (i > 0) text += ' ';
    text += hex(call.bytes[i], 2);
  }
  return text + "]";
}

// For a prepare, also what the caller filled in; the other calls only pass the header on.
std::string header_text(const Call& call) {
  if (call.header == nullptr) return " header=null size=" + std::to_string(call.header_size);
  std::string text = " header=" + std::to_string(header_number(call.header)) +
                     " size=" + std::to_string(call.header_size);
  if (call.function != Function::prepare) return text;
  return text + " lpData=" + bytes_text(call) +
         " dwBufferLength=" + std::to_string(call.fields.dwBufferLength) +
         " dwFlags=" + std::to_string(call.fields.dwFlags) + " others=" + other_fields_text(call);
}

std::string line_for(const Call& call) {
  std::string line = name_of(call.function);
  switch (call.function) {
    case Function::open:
      line += " device=" + std::to_string(call.device) +
              " callback=" + std::to_string(call.callback) +
              " instance=" + std::to_string(call.instance) +
              " flags=" + std::to_string(call.open_flags) + " input_read=" + input_position();
      break;
    case Function::short_message:
      line += " handle=" + handle_text(call.handle) + " message=" + hex(call.message, 8);
      break;
    case Function::prepare:
    case Function::long_message:
    case Function::unprepare:
      line += " handle=" + handle_text(call.handle) + header_text(call);
      break;
    case Function::reset:
    case Function::close:
      line += " handle=" + handle_text(call.handle);
      break;
  }
  line += " -> " + std::to_string(call.result);
  if (call.function == Function::open) line += " handle=" + handle_text(call.handle);
  return line;
}

// What the platform does to a header it accepts: prepare marks it prepared (and the driver fills
// its own fields), a send queues it and, here at once, completes it, a successful unprepare hands
// it back done. The header is the caller's; the record holds it const only so as not to change it.
void act_on_header(const Call& call) {
  if (call.header == nullptr || call.result != MMSYSERR_NOERROR) return;
  auto* header = const_cast<MIDIHDR*>(call.header);
  switch (call.function) {
    case Function::prepare:
      header->dwFlags = (header->dwFlags | MHDR_PREPARED) & ~DWORD{MHDR_DONE};
      header->reserved = driver_reserved;
      header->dwOffset = driver_offset;
      for (int i = 0; i < 8; ++i) header->dwReserved[i] = driver_reserved_array;
      break;
    case Function::long_message:
      header->dwFlags |= MHDR_DONE;
      break;
    case Function::unprepare:
      header->dwFlags &= ~DWORD{MHDR_PREPARED};
      break;
    default:
      return;
  }
  call_log().left_as[call.header] = other_fields_of(*header);
}

void write_line(const Call& call) {
  Log& l = call_log();
  if (l.file == nullptr) {
    const char* path = std::getenv("HEXMIDI_RECORDING_LOG");
    if (path == nullptr) return;
    l.file = std::fopen(path, "w");
    if (l.file == nullptr) return;
  }
  std::fprintf(l.file, "%s\n", line_for(call).c_str());
  std::fflush(l.file);  // a run that crashes still leaves every call before it
}

void observe(const Call& call) {
  write_line(call);
  act_on_header(call);
}

// Set up when the DLL is loaded, before the program's first call: the script decides the very
// first result, that of the open.
[[maybe_unused]] const bool loaded = [] {
  if (const char* script = std::getenv("HEXMIDI_RECORDING_SCRIPT")) load_script(script);
  recording::on_call(observe);
  return true;
}();

}  // namespace
