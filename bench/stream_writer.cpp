// stream_writer: prints one of the benchmarks' command streams on standard output, so that the
// whole-process measurements feed the program exactly what the in-process benchmarks use.
//
//   stream_writer short <lines>     note-on/note-off pairs, one "m" a line
//   stream_writer long <bytes>      one system-exclusive "l" command of that many bytes
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "generated_streams.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: stream_writer short|long <count>\n");
    return 1;
  }
  const auto count = static_cast<std::size_t>(std::strtoull(argv[2], nullptr, 10));
  std::string text;
  if (std::strcmp(argv[1], "short") == 0) {
    text = bench::short_message_lines(count);
  } else if (std::strcmp(argv[1], "long") == 0) {
    text = bench::long_message_text(count);
  } else {
    std::fprintf(stderr, "stream_writer: unknown stream %s\n", argv[1]);
    return 1;
  }
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() ? 0 : 1;
}
