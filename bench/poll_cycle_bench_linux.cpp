// The poller's device read cycle (HID_DeviceInitialize, HID_SetCurrentDevice
// with device 1 and 1000 ms, HID_ReadData for 64 bytes) against machines with
// 2, 32, 128 and 512 HID interfaces: one thermometer enumerated first, then
// keyboards with one interface each. Each size runs in a process of its own,
// since the simulated library reads its scenario once.
//
//   bench_poll_cycle
//
// Libraries, relative to this program's folder (bin/bench): ../sim (timing),
// gated-sim and gated-hidraw (allocations, split into the library core and
// its port). Prints "metric NAME VALUE" lines and a straight-line fit of the
// cycle time over the number of interfaces.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <string>
#include <vector>

#include "alloc_counter.h"

namespace {

constexpr int kSizes[] = {2, 32, 128, 512};
// Each size is timed in kRounds rounds that take turns with the other
// sizes, so that a burst of other work on the machine spoils one round of
// one size, not the figure.
constexpr int kRounds = 3;
constexpr double kTimedSeconds = 0.25;
constexpr int kMinTimedCycles = 50;
constexpr int kWarmUpCycles = 20;
constexpr int kCountedCycles = 20;

struct Library {
  int (*device_initialize)() = nullptr;
  int (*set_current_device)(int, int) = nullptr;
  int (*read_data)(unsigned char*, int) = nullptr;
};

struct CycleResult {
  int devices = 0;  // HID_DeviceInitialize's result
  bool read_ok = false;
};

std::string own_folder() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  path[length] = '\0';
  std::string folder(path);
  return folder.substr(0, folder.rfind('/'));
}

bool load(const std::string& path, Library& library) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "bench_poll_cycle: %s\n", dlerror());
    return false;
  }
  library.device_initialize = reinterpret_cast<int (*)()>(dlsym(handle, "HID_DeviceInitialize"));
  library.set_current_device =
      reinterpret_cast<int (*)(int, int)>(dlsym(handle, "HID_SetCurrentDevice"));
  library.read_data = reinterpret_cast<int (*)(unsigned char*, int)>(dlsym(handle, "HID_ReadData"));
  return library.device_initialize && library.set_current_device && library.read_data;
}

// The poller's cycle, as the bridge makes it.
CycleResult cycle(const Library& library) {
  unsigned char sample[64];
  CycleResult result;
  result.devices = library.device_initialize();
  if (result.devices < 1 || library.set_current_device(1, 1000) == 0) return result;
  result.read_ok = library.read_data(sample, sizeof sample) == 1;
  return result;
}

// A scenario file with `interfaces` HID interfaces (0: none is written and the
// variable stays unset, for the real library).
std::string write_scenario(int interfaces) {
  char path[] = "/tmp/bench-poll-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return "";
  std::string text = "[device]\nkind = thermometer\n";
  if (interfaces > 2)
    text += "[device]\nkind = keyboard\ncount = " + std::to_string(interfaces - 2) + "\n";
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return written ? path : "";
}

// Runs `work` in a child process with the scenario of `interfaces` and the
// library at `library_path`; returns the line that work gives there (empty
// when the child failed).
template <typename Work>
std::string in_child(int interfaces, const std::string& library_path, Work work) {
  int channel[2];
  if (pipe(channel) != 0) return "";
  const std::string scenario = interfaces > 0 ? write_scenario(interfaces) : "";
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    if (!scenario.empty()) setenv("ZELKHID_SIM_SCENARIO", scenario.c_str(), 1);
    Library library;
    const std::string line = load(library_path, library) ? work(library) : "";
    const bool sent =
        write(channel[1], line.data(), line.size()) == static_cast<ssize_t>(line.size());
    _exit(sent && !line.empty() ? 0 : 1);
  }
  close(channel[1]);
  std::string line;
  char buffer[256];
  for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) line.append(buffer, n);
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!scenario.empty()) unlink(scenario.c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? line : "";
}

std::string format(const char* pattern, double a, double b, double c) {
  char text[128];
  std::snprintf(text, sizeof text, pattern, a, b, c);
  return text;
}

// "MEDIAN_US MEAN_US CYCLES" of the timed cycles.
double thread_cpu_us() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// "MEDIAN_CPU_US MEAN_WALL_US CYCLES" of the timed cycles. The figure is the
// processor time of a cycle (the cycle never waits when the device answers),
// which other work on a shared machine does not stretch; the wall-clock mean
// shows how much it did.
std::string time_cycles(int interfaces, const Library& library) {
  CycleResult first;
  for (int i = 0; i < kWarmUpCycles; ++i) first = cycle(library);
  if (!first.read_ok) {
    std::fprintf(stderr, "bench_poll_cycle: %d interfaces: the cycle fails\n", interfaces);
    return "";
  }
  std::vector<double> cpu_micros;
  cpu_micros.reserve(1 << 20);
  const auto start = std::chrono::steady_clock::now();
  auto now = start;
  while (std::chrono::duration<double>(now - start).count() < kTimedSeconds ||
         static_cast<int>(cpu_micros.size()) < kMinTimedCycles) {
    const double before = thread_cpu_us();
    cycle(library);
    cpu_micros.push_back(thread_cpu_us() - before);
    now = std::chrono::steady_clock::now();
  }
  const double wall_mean = std::chrono::duration<double, std::micro>(now - start).count() /
                           static_cast<double>(cpu_micros.size());
  std::nth_element(cpu_micros.begin(), cpu_micros.begin() + cpu_micros.size() / 2,
                   cpu_micros.end());
  return format("%.2f %.2f %.0f", cpu_micros[cpu_micros.size() / 2], wall_mean,
                static_cast<double>(cpu_micros.size()));
}

// "CORE PORT DEVICES": allocations per cycle inside the library core and
// inside its port, and HID_DeviceInitialize's result.
std::string count_allocations(const Library& library) {
  CycleResult result;
  for (int i = 0; i < kWarmUpCycles; ++i) result = cycle(library);
  const bench_alloc::ThreadCounts before = bench_alloc::current_thread();
  for (int i = 0; i < kCountedCycles; ++i) {
    bench_alloc_scope(bench_alloc::kLibrary, +1);
    cycle(library);
    bench_alloc_scope(bench_alloc::kLibrary, -1);
  }
  const bench_alloc::ThreadCounts after = bench_alloc::current_thread();
  const auto per_cycle = [&](int scope) {
    return static_cast<double>(after.running[scope] - before.running[scope]) / kCountedCycles;
  };
  return format("%.2f %.2f %.0f", per_cycle(bench_alloc::kLibrary), per_cycle(bench_alloc::kPort),
                result.devices);
}

struct SizeResult {
  int interfaces = 0;
  double median_us = 0, mean_us = 0, cycles = 0;
  double core_allocations = 0, port_allocations = 0, devices = 0;
};

// Least squares: time = a + b * interfaces; prints the fit and how far the
// measured medians lie from it.
void print_fit(const std::vector<SizeResult>& results) {
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (const SizeResult& r : results) {
    n += 1;
    sx += r.interfaces;
    sy += r.median_us;
    sxx += static_cast<double>(r.interfaces) * r.interfaces;
    sxy += r.interfaces * r.median_us;
  }
  const double b = (n * sxy - sx * sy) / (n * sxx - sx * sx);
  const double a = (sy - b * sx) / n;
  double worst = 0;
  for (const SizeResult& r : results) {
    worst = std::max(worst, std::fabs(r.median_us - (a + b * r.interfaces)) / r.median_us);
  }
  std::printf(
      "fit: %.1f us + %.3f us per interface; largest deviation of a median from it %.1f%%\n", a, b,
      100 * worst);
  std::printf("metric poll_fit_base_us %.1f\nmetric poll_fit_per_interface_us %.3f\n", a, b);
  std::printf("metric poll_fit_max_deviation_pct %.1f\n", 100 * worst);
  // The cost of one more interface between neighbouring sizes: constant for
  // a linear cycle.
  std::printf("per added interface:");
  for (std::size_t i = 1; i < results.size(); ++i) {
    const SizeResult& low = results[i - 1];
    const SizeResult& high = results[i];
    const double slope =
        (high.median_us - low.median_us) / static_cast<double>(high.interfaces - low.interfaces);
    std::printf(" %d-%d: %.3f us;", low.interfaces, high.interfaces, slope);
  }
  std::printf("\n");
  for (std::size_t i = 1; i < results.size(); ++i) {
    const SizeResult& low = results[i - 1];
    const SizeResult& high = results[i];
    std::printf(
        "metric poll_slope_%d_%d_us %.3f\n", low.interfaces, high.interfaces,
        (high.median_us - low.median_us) / static_cast<double>(high.interfaces - low.interfaces));
  }
}

}  // namespace

int main() {
  bench_alloc::set_windows_ms(0, 0);  // every allocation from here on counts
  const std::string folder = own_folder();
  std::vector<SizeResult> results;
  bool ok = true;
  // Timing: the median cycle of each round, and of those the median.
  std::vector<std::vector<double>> round_medians(std::size(kSizes));
  std::vector<double> cycles(std::size(kSizes)), means(std::size(kSizes));
  for (int round = 0; round < kRounds; ++round) {
    for (std::size_t i = 0; i < std::size(kSizes); ++i) {
      const int size = kSizes[i];
      const std::string timed = in_child(size, folder + "/../sim/libZelkHID.so",
                                         [size](const Library& l) { return time_cycles(size, l); });
      double median = 0, mean = 0, count = 0;
      if (std::sscanf(timed.c_str(), "%lf %lf %lf", &median, &mean, &count) != 3) continue;
      round_medians[i].push_back(median);
      cycles[i] += count;
      means[i] += mean * count;
    }
  }
  for (std::size_t i = 0; i < std::size(kSizes); ++i) {
    const int size = kSizes[i];
    SizeResult r;
    r.interfaces = size;
    const std::string counted =
        in_child(size, folder + "/gated-sim/libZelkHID.so", count_allocations);
    if (round_medians[i].size() != kRounds ||
        std::sscanf(counted.c_str(), "%lf %lf %lf", &r.core_allocations, &r.port_allocations,
                    &r.devices) != 3) {
      std::fprintf(stderr, "bench_poll_cycle: %d interfaces: no result\n", size);
      ok = false;
      continue;
    }
    std::sort(round_medians[i].begin(), round_medians[i].end());
    r.median_us = round_medians[i][kRounds / 2];
    r.cycles = cycles[i];
    r.mean_us = means[i] / cycles[i];
    std::printf(
        "%4d interfaces: %8.1f us of CPU time per cycle (median of %d rounds' medians, %.0f "
        "cycles; wall-clock mean %.1f us); allocations per cycle: library core %.1f, simulated "
        "port %.1f\n",
        size, r.median_us, kRounds, r.cycles, r.mean_us, r.core_allocations, r.port_allocations);
    std::printf("metric poll_us_%d %.1f\n", size, r.median_us);
    std::printf("metric poll_core_allocations_%d %.1f\n", size, r.core_allocations);
    std::printf("metric poll_port_allocations_%d %.1f\n", size, r.port_allocations);
    results.push_back(r);
  }
  if (results.size() >= 2) print_fit(results);

  // The real Linux library over hidraw, with whatever devices this machine has.
  const std::string hidraw = folder + "/gated-hidraw/libZelkHID.so";
  if (access(hidraw.c_str(), R_OK) == 0) {
    SizeResult r;
    const std::string counted = in_child(0, hidraw, count_allocations);
    if (std::sscanf(counted.c_str(), "%lf %lf %lf", &r.core_allocations, &r.port_allocations,
                    &r.devices) == 3) {
      std::printf(
          "real Linux library (hidraw), %.0f devices found here: allocations per cycle: library "
          "core %.1f, hidraw port %.1f\n",
          r.devices, r.core_allocations, r.port_allocations);
      std::printf("metric poll_hidraw_devices %.0f\n", r.devices);
      std::printf("metric poll_hidraw_core_allocations %.1f\n", r.core_allocations);
      std::printf("metric poll_hidraw_port_allocations %.1f\n", r.port_allocations);
    }
  }
  return ok ? 0 : 1;
}
