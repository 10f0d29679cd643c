// measured_run: runs a program to its end and writes its wall time, CPU time and peak resident size
// to a file, from wait4()'s rusage of that child alone.
//
//   measured_run <result file> <program> [arguments...]
//
// The program inherits standard input, output and error. The result file gets one JSON object:
// {"status": .., "wall_s": .., "user_s": .., "system_s": .., "peak_rss_kib": ..}.
//
// It exists because a child's peak resident size includes what its parent had resident when it
// forked: started from the Python that drives the benchmarks it would report Python's hundreds
// of megabytes. Forked from this small program it reports the program's own, plus this one's
// floor, which the report measures on /bin/true beside it.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace {

double seconds_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double seconds_of(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) * 1e-6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: measured_run <result file> <program> [arguments...]\n");
    return 1;
  }
  const double started = seconds_now();
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    execv(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) return 1;
  const double wall = seconds_now() - started;

  std::FILE* result = std::fopen(argv[1], "w");
  if (result == nullptr) return 1;
  const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  std::fprintf(result,
               "{\"status\": %d, \"wall_s\": %.6f, \"user_s\": %.6f, \"system_s\": %.6f, "
               "\"peak_rss_kib\": %ld}\n",
               exit_status, wall, seconds_of(usage.ru_utime), seconds_of(usage.ru_stime),
               usage.ru_maxrss);
  return std::fclose(result) == 0 ? 0 : 1;
}
