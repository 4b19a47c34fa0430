// Throughput of the command reader (MyRxRunnable, unchanged) on 1 GiB of mixed
// child output followed by "$EXIT$":
//
//   bench_reader memory [BYTES]   from memory, through a channel whose read
//                                 copies the next bytes (up to the asked length)
//   bench_reader pipe [BYTES]     through the real child channel and a pipe,
//                                 from a child that floods its output
//   bench_reader flood BYTES      (the child of the pipe run)
//
// Prints "metric NAME VALUE" lines: MB/s (10^6 bytes per second), the reader
// thread's CPU time, and the allocations the reader made while it ran.
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "child_channel.h"
#include "line_protocol.h"
#include "mixed_output.h"
#include "threading.h"

namespace {

constexpr std::uint64_t kDefaultBytes = 1ull << 30;
constexpr std::size_t kBlockBytes = 64u << 20;  // repeated until the total is reached
constexpr std::uint32_t kSeed = 6;
constexpr char kExitLine[] = "$EXIT$\n";

// Serves `total` bytes of the repeated block, then "$EXIT$\n", then the end of
// the output. A read after the command means the reader missed it.
class MemoryChannel final : public CVornSubProcessApi {
 public:
  MemoryChannel(const std::vector<char>& block_to_serve, std::uint64_t total)
      : CVornSubProcessApi(""), block(block_to_serve), remaining(total) {}

  int read(char* buffer, int length) override {
    if (remaining > 0) {
      std::uint64_t count = static_cast<std::uint64_t>(length);
      count = std::min<std::uint64_t>(count, block.size() - position);
      count = std::min(count, remaining);
      std::memcpy(buffer, block.data() + position, count);
      position = (position + count) % block.size();
      remaining -= count;
      return static_cast<int>(count);
    }
    if (!exit_served) {
      exit_served = true;
      std::memcpy(buffer, kExitLine, sizeof kExitLine - 1);
      return static_cast<int>(sizeof kExitLine - 1);
    }
    ++reads_after_exit;
    return kOutputEnded;
  }

  bool stopped_on_command() const { return exit_served && reads_after_exit == 0; }

 private:
  const std::vector<char>& block;
  std::size_t position = 0;
  std::uint64_t remaining;
  bool exit_served = false;
  int reads_after_exit = 0;
};

double thread_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::uint64_t own_allocations() {
  const bench_alloc::ThreadCounts counts = bench_alloc::current_thread();
  return counts.running[bench_alloc::kOwnCode] + counts.startup[bench_alloc::kOwnCode];
}

struct ReaderRun {
  double seconds = 0;
  double cpu_seconds = 0;
  std::uint64_t allocations = 0;
};

// Runs the reader on the channel until it returns.
ReaderRun run_reader(CVornSubProcessApi& channel) {
  CVornContext context;
  context.sub_process = &channel;
  MyRxRunnable reader(&context);
  ReaderRun result;
  const std::uint64_t allocations_before = own_allocations();
  const double cpu_before = thread_cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  reader.run();
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.cpu_seconds = thread_cpu_seconds() - cpu_before;
  result.allocations = own_allocations() - allocations_before;
  return result;
}

void print_mix(const bench::MixedOutputMix& mix) {
  const double total =
      static_cast<double>(mix.normal + mix.cr_only + mix.with_nuls + mix.empty + mix.long_lines);
  std::printf(
      "mix of the %.0f MiB block, by bytes: normal %.0f%%, CR-only %.0f%%, with NULs %.0f%%, "
      "empty %.1f%%, 10 kB lines %.0f%% (%zu lines)\n",
      total / (1 << 20), 100 * mix.normal / total, 100 * mix.cr_only / total,
      100 * mix.with_nuls / total, 100 * mix.empty / total, 100 * mix.long_lines / total,
      mix.lines);
}

void print_run(const char* name, std::uint64_t bytes, const ReaderRun& run, bool stopped) {
  const double mb_per_s = static_cast<double>(bytes) / 1e6 / run.seconds;
  std::printf(
      "reader %s: %.3f GiB in %.3f s = %.0f MB/s; reader CPU %.3f s; stopped on $EXIT$: %s\n", name,
      static_cast<double>(bytes) / (1 << 30), run.seconds, mb_per_s, run.cpu_seconds,
      stopped ? "yes" : "NO");
  std::printf("metric reader_%s_mbps %.0f\n", name, mb_per_s);
  std::printf("metric reader_%s_cpu_s %.3f\n", name, run.cpu_seconds);
  std::printf("metric reader_%s_allocations %llu\n", name,
              static_cast<unsigned long long>(run.allocations));
  std::printf("metric reader_%s_stopped %s\n", name, stopped ? "yes" : "no");
}

int bench_memory(std::uint64_t bytes) {
  bench::MixedOutputMix mix;
  const std::vector<char> block = bench::make_mixed_output(kBlockBytes, kSeed, &mix);
  print_mix(mix);
  MemoryChannel channel(block, bytes);
  const ReaderRun run = run_reader(channel);
  print_run("memory", bytes, run, channel.stopped_on_command());
  return channel.stopped_on_command() ? 0 : 1;
}

int bench_pipe(std::uint64_t bytes) {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return 1;
  self[length] = '\0';
  const std::string command = std::string(self) + " flood " + std::to_string(bytes);
  ReaderRun run;
  {
    CVornSubProcessApi channel(command.c_str());
    if (!channel.open()) {
      std::fprintf(stderr, "bench_reader: cannot start the flooding child\n");
      return 1;
    }
    run = run_reader(channel);
  }  // the channel closes its ends: the child sees the end of its input and ends
  int status = 0;
  while (wait(&status) > 0) {
  }
  // The child checks that it could write everything before the command.
  const bool complete = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  print_run("pipe", bytes, run, complete);
  return complete ? 0 : 1;
}

// The flooding child: the mixed output, "$EXIT$", then it waits for the end
// of its input, so that the reader side decides when it ends. A reader that
// missed the command would wait for ever; after 10 s the child gives up with
// exit code 3 instead, which ends its output.
int flood(std::uint64_t bytes) {
  const std::vector<char> block = bench::make_mixed_output(kBlockBytes, kSeed, nullptr);
  std::uint64_t remaining = bytes;
  std::size_t position = 0;
  while (remaining > 0) {
    std::size_t count = std::min<std::size_t>(64 * 1024, block.size() - position);
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, remaining));
    const ssize_t written = write(STDOUT_FILENO, block.data() + position, count);
    if (written <= 0) return 2;
    position = (position + static_cast<std::size_t>(written)) % block.size();
    remaining -= static_cast<std::uint64_t>(written);
  }
  if (write(STDOUT_FILENO, kExitLine, sizeof kExitLine - 1) != sizeof kExitLine - 1) return 2;
  char sink[256];
  pollfd input{STDIN_FILENO, POLLIN, 0};
  while (poll(&input, 1, 10'000) > 0) {
    if (read(STDIN_FILENO, sink, sizeof sink) <= 0) return 0;
  }
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  bench_alloc::set_windows_ms(0, 0);  // every allocation from here on counts
  const std::string mode = argc > 1 ? argv[1] : "";
  const std::uint64_t bytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : kDefaultBytes;
  if (mode == "memory") return bench_memory(bytes);
  if (mode == "pipe") return bench_pipe(bytes);
  if (mode == "flood") return flood(bytes);
  std::fprintf(stderr, "usage: bench_reader memory|pipe [BYTES]\n");
  return 2;
}
