// Reads a raw MIDI device no faster than a MIDI cable would carry its bytes away, and writes
// them to standard output: the way a hardware interface empties its output buffer, for a
// virtual device that would otherwise empty it at once and so hide an overrun.
//   wire_rate_reader DEVICE [BUFFER] > bytes 2> ready
// BUFFER sets the size of the device's input buffer (4 KiB by default): the kernel drops what does
// not fit in it, and a sender that hands over a long message at once needs it as large as the
// message. Runs until killed. A little above the wire rate, and catching up after a late wake-up,
// so that a sender that keeps to the wire rate never overruns it. The wire's time starts anew when
// the device has nothing waiting, as a cable idles: counted from the reader's own start, the
// seconds before the first byte would let it take the first kilobytes at once, and hide how far
// ahead of the wire a sender has gone. Writes "ready" to standard error once bytes sent to the
// device reach it: virmidi passes bytes on only to a reader that has started its input, which its
// first poll does; opening the device is not enough.
#include <fcntl.h>
#include <poll.h>
#include <sound/asound.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) return 2;
  int device = open(argv[1], O_RDONLY);
  if (device < 0) return 1;
  if (argc == 3) {
    snd_rawmidi_params params{};
    params.stream = SNDRV_RAWMIDI_STREAM_INPUT;
    params.buffer_size = std::strtoul(argv[2], nullptr, 10);
    params.avail_min = 1;
    if (ioctl(device, SNDRV_RAWMIDI_IOCTL_PARAMS, &params) != 0) return 1;
  }
  pollfd started{device, POLLIN, 0};
  if (poll(&started, 1, 0) < 0 || write(STDERR_FILENO, "ready\n", 6) != 6) return 1;
  constexpr double bytes_per_second = 3300;  // the wire's 3125, and a little
  auto start = std::chrono::steady_clock::now();
  long long taken = 0;
  unsigned char buffer[256];
  for (;;) {
    pollfd waiting{device, POLLIN, 0};
    if (poll(&waiting, 1, 0) == 0) {
      if (poll(&waiting, 1, -1) < 0) return 1;
      start = std::chrono::steady_clock::now();
      taken = 0;
    }
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    long long allowed = static_cast<long long>(elapsed.count() * bytes_per_second) - taken;
    if (allowed < 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    auto wanted = static_cast<std::size_t>(std::min<long long>(allowed, sizeof buffer));
    ssize_t got = read(device, buffer, wanted);
    if (got <= 0) return 0;
    if (write(STDOUT_FILENO, buffer, static_cast<std::size_t>(got)) != got) return 1;
    taken += got;
  }
}
