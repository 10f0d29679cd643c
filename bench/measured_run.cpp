// measured_run: runs a program to its end and writes, from wait4()'s rusage of that child alone,
// {"status": .., "wall_s": .., "user_s": .., "system_s": .., "peak_rss_kib": ..} to a file.
//
//   measured_run <result file> <program> [arguments...]
//
// A child's peak resident size includes what its parent had resident when it forked: started from
// the Python that drives the benchmarks it would report Python's hundreds of megabytes. Forked
// from this small program it reports its own plus this one's floor, which the report measures.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace {

double seconds_of(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) * 1e-6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 1;
  const auto started = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    execv(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return 1;
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - started;
  std::FILE* result = std::fopen(argv[1], "w");
  if (result == nullptr) return 1;
  std::fprintf(result,
               "{\"status\": %d, \"wall_s\": %.6f, \"user_s\": %.6f, \"system_s\": %.6f, "
               "\"peak_rss_kib\": %ld}\n",
               WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), wall.count(),
               seconds_of(usage.ru_utime), seconds_of(usage.ru_stime), usage.ru_maxrss);
  return std::fclose(result) == 0 ? 0 : 1;
}
