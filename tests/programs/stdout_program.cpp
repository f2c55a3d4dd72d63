// SPDX-License-Identifier: GPL-3.0-or-later
// A target for the stdout tests: what real programs do with their stdout,
// each on request. Uses C stdio on purpose: its buffering is what a trace
// must cope with.
//
//   stdout-program --printf-then-crash     two printf lines, one on stderr, then SIGSEGV
//   stdout-program --print-forever         a numbered line every 50 ms until killed
//   stdout-program --flood N               N numbered lines as fast as stdio writes them
//   stdout-program --flood-blocks N        the same lines written 64 KiB at a time, as a
//                                          program that buffers its output itself does
//   stdout-program --probes N MS           N lines "latency probe <CLOCK_MONOTONIC ns>", one every
//                                          MS milliseconds, each flushed (benchmarks)

#include <cstdio>
#include <cstdlib>
#include <string>
#include <ctime>
#include <unistd.h>

namespace {

int printfThenCrash() {
  std::printf("last words before the crash (1 of 2)\n");
  std::printf("last words before the crash (2 of 2)\n");
  std::fprintf(stderr, "about to dereference a null pointer\n");
  volatile int* nowhere = nullptr;
  return *nowhere;
}

int printForever() {
  for (long i = 1;; ++i) {
    std::printf("still alive %ld\n", i);
    ::usleep(50 * 1000);
  }
}

int flood(long lines, bool inBlocks) {
  static char buffer[1 << 16];
  if (inBlocks) std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  for (long i = 1; i <= lines; ++i) std::printf("flood line %ld\n", i);
  return 0;
}

int probes(int count, int intervalMs) {
  for (int i = 0; i < count; ++i) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    std::printf("latency probe %lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    std::fflush(stdout);
    ::usleep(static_cast<useconds_t>(intervalMs) * 1000);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const char* value = argc > 2 ? argv[2] : "0";
  if (mode == "--printf-then-crash") return printfThenCrash();
  if (mode == "--print-forever") return printForever();
  if (mode == "--flood" || mode == "--flood-blocks") return flood(std::atol(value), mode == "--flood-blocks");
  if (mode == "--probes") return probes(std::atoi(value), argc > 3 ? std::atoi(argv[3]) : 10);
  std::fprintf(stderr, "stdout-program: unknown mode '%s'\n", mode.c_str());
  return 2;
}
