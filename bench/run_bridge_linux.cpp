// Runs the bridge once in a prepared run folder, with the record child as its
// "java", and measures it from the outside:
//
//   bench_run_bridge --dir RUN [--label NAME] [--load N] -- COMMAND [ARGS...]
//
// --load N keeps N busy processes running beside the bridge for the whole
// run. The bridge's CPU time and peak RSS come from wait4; the CPU time of
// each of its threads, and the time it waited for a CPU while runnable, from
// /proc/PID/task/TID/schedstat, sampled until it ends. The record lateness comes from the child's
// report in RUN (see record_child.cpp).
//
// Lateness: a record is due when the bridge's clock reaches its tick time.
// That clock counts whole milliseconds from the whole second of the writer's
// start, so it reads the true time minus a constant offset of whole
// milliseconds; a record written on time arrives at tick + offset. The offset
// is taken as the whole milliseconds of the smallest (arrival - tick) of the
// run, which is exact as long as some record of the run arrives less than
// 1 ms late (the smallest lateness is printed to show it); otherwise the
// figures are lower bounds. Records due before the child began to read (the
// first tick comes at once when the writer starts, and a child may take
// longer than that to start, notably under Wine) measure the child's start,
// not the bridge: they are left out and counted.
//
// Prints "metric NAME_xxx VALUE" lines.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr char kReportFile[] = "bench_child_report.txt";
constexpr auto kSamplePeriod = std::chrono::milliseconds(200);
constexpr auto kReportWait = std::chrono::seconds(15);

struct Options {
  std::string dir;
  std::string label = "run";
  int load = 0;
  std::vector<char*> command;
};

struct Record {
  long long sequence = 0, tick_ms = 0, first_ns = 0, last_ns = 0;
  int status = 0;
};

bool parse_options(int argc, char** argv, Options& options) {
  int i = 1;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) return false;
    if (name == "--dir") {
      options.dir = argv[++i];
    } else if (name == "--label") {
      options.label = argv[++i];
    } else if (name == "--load") {
      options.load = std::atoi(argv[++i]);
    } else {
      return false;
    }
  }
  for (++i; i < argc; ++i) options.command.push_back(argv[i]);
  options.command.push_back(nullptr);
  return !options.dir.empty() && options.command.size() > 1;
}

// A process that keeps one core busy until it is killed.
pid_t start_load() {
  const pid_t pid = fork();
  if (pid == 0) {
    volatile unsigned long spin = 0;
    for (;;) spin = spin + 1;
  }
  return pid;
}

pid_t start_command(const Options& options) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(options.dir.c_str()) != 0) _exit(127);
    execvp(options.command[0], options.command.data());
    _exit(127);
  }
  return pid;
}

// What the scheduler has counted for one thread so far.
struct ThreadTimes {
  long long on_cpu_ns = 0;   // running
  long long waiting_ns = 0;  // runnable, but waiting for a CPU
};

// The times of every thread of `pid` now.
std::map<long, ThreadTimes> thread_times(pid_t pid) {
  std::map<long, ThreadTimes> threads;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return threads;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream stat(tasks + "/" + entry->d_name + "/schedstat");
    ThreadTimes times;
    if (stat >> times.on_cpu_ns >> times.waiting_ns) threads[std::atol(entry->d_name)] = times;
  }
  closedir(dir);
  return threads;
}

struct Report {
  long long reading_ns = 0;  // when the child began to read
  std::vector<Record> records;
};

Report read_report(const std::string& path) {
  Report report;
  const auto deadline = std::chrono::steady_clock::now() + kReportWait;
  std::ifstream file;
  while (!(file = std::ifstream(path)) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::string word;
  while (file >> word) {
    if (word == "reading") file >> report.reading_ns;
    if (word != "record") continue;
    Record r;
    file >> r.sequence >> r.tick_ms >> r.first_ns >> r.last_ns >> r.status;
    report.records.push_back(r);
  }
  return report;
}

// The value at fraction q of the sorted values, interpolated between the two
// nearest ranks.
double quantile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  const double rank = q * static_cast<double>(sorted.size() - 1);
  const std::size_t low = static_cast<std::size_t>(std::floor(rank));
  const std::size_t high = std::min(low + 1, sorted.size() - 1);
  return sorted[low] + (sorted[high] - sorted[low]) * (rank - static_cast<double>(low));
}

void print_lateness(const std::string& label, const Report& report) {
  const std::vector<Record>& records = report.records;
  if (records.empty()) {
    std::printf("%s: no records arrived\n", label.c_str());
    std::printf("metric %s_records 0\n", label.c_str());
    return;
  }
  long long smallest = records.front().first_ns - records.front().tick_ms * 1'000'000;
  for (const Record& r : records) smallest = std::min(smallest, r.first_ns - r.tick_ms * 1'000'000);
  const long long offset_ns = static_cast<long long>(std::floor(smallest / 1e6)) * 1'000'000;

  std::vector<double> lateness_us, spread_us;
  int gaps = 0, good = 0, before_child = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Record& r = records[i];
    if (i > 0 && r.sequence != records[i - 1].sequence + 1) ++gaps;
    if (r.status == 0) ++good;
    if (r.tick_ms * 1'000'000 + offset_ns < report.reading_ns) {
      ++before_child;
      continue;
    }
    lateness_us.push_back(static_cast<double>(r.first_ns - r.tick_ms * 1'000'000 - offset_ns) /
                          1e3);
    spread_us.push_back(static_cast<double>(r.last_ns - r.first_ns) / 1e3);
  }
  if (lateness_us.empty()) {
    std::printf("%s: no record was due after the child began to read\n", label.c_str());
    return;
  }
  std::sort(lateness_us.begin(), lateness_us.end());
  std::sort(spread_us.begin(), spread_us.end());
  const char* l = label.c_str();
  std::printf(
      "%s: %zu records (%d with status 0, %d sequence gaps, %d due before the child read); "
      "lateness of %zu: p50 %.0f us, p99 %.0f us, max %.0f us, min %.0f us; first byte to line "
      "end: p50 %.0f us, max %.0f us\n",
      l, records.size(), good, gaps, before_child, lateness_us.size(), quantile(lateness_us, 0.5),
      quantile(lateness_us, 0.99), lateness_us.back(), lateness_us.front(),
      quantile(spread_us, 0.5), spread_us.back());
  std::printf("metric %s_records %zu\nmetric %s_good_records %d\nmetric %s_gaps %d\n", l,
              records.size(), l, good, l, gaps);
  std::printf("metric %s_before_child %d\nmetric %s_measured %zu\n", l, before_child, l,
              lateness_us.size());
  std::printf("metric %s_lateness_p50_us %.0f\nmetric %s_lateness_p99_us %.0f\n", l,
              quantile(lateness_us, 0.5), l, quantile(lateness_us, 0.99));
  std::printf("metric %s_lateness_max_us %.0f\nmetric %s_lateness_min_us %.0f\n", l,
              lateness_us.back(), l, lateness_us.front());
  std::printf("metric %s_spread_p50_us %.0f\nmetric %s_spread_max_us %.0f\n", l,
              quantile(spread_us, 0.5), l, spread_us.back());
}

void print_cpu(const std::string& label, pid_t pid, const rusage& usage, double wall_s,
               const std::map<long, ThreadTimes>& threads) {
  const double user_ms = usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3;
  const double system_ms = usage.ru_stime.tv_sec * 1e3 + usage.ru_stime.tv_usec / 1e3;
  const double per_minute = (user_ms + system_ms) * 60 / wall_s;
  const char* l = label.c_str();
  std::printf(
      "%s: %.1f s; CPU user %.1f ms + system %.1f ms = %.1f ms per minute; peak RSS %ld kB\n", l,
      wall_s, user_ms, system_ms, per_minute, usage.ru_maxrss);
  std::printf("metric %s_wall_s %.1f\nmetric %s_cpu_user_ms %.1f\nmetric %s_cpu_system_ms %.1f\n",
              l, wall_s, l, user_ms, l, system_ms);
  std::printf("metric %s_cpu_ms_per_minute %.1f\nmetric %s_peak_rss_kb %ld\n", l, per_minute, l,
              usage.ru_maxrss);
  // Threads in the order of their creation; for the bridge: the main thread
  // (command reader), then the writer, then the poller.
  int worker = 0;
  for (const auto& [tid, times] : threads) {
    const std::string name = tid == pid ? "main" : "thread" + std::to_string(++worker);
    const double cpu_ms = static_cast<double>(times.on_cpu_ns) / 1e6;
    const double wait_ms = static_cast<double>(times.waiting_ns) / 1e6;
    std::printf("  thread %ld (%s): %.1f ms on CPU, %.1f ms waiting for a CPU\n", tid, name.c_str(),
                cpu_ms, wait_ms);
    std::printf("metric %s_cpu_%s_ms %.1f\n", l, name.c_str(), cpu_ms);
    std::printf("metric %s_wait_%s_ms %.1f\n", l, name.c_str(), wait_ms);
  }
  std::printf("metric %s_threads %zu\n", l, threads.size());
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse_options(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: bench_run_bridge --dir RUN [--label NAME] [--load N] -- COMMAND...\n");
    return 2;
  }
  const std::string report = options.dir + "/" + kReportFile;
  std::remove(report.c_str());

  std::vector<pid_t> load;
  for (int i = 0; i < options.load; ++i) load.push_back(start_load());

  const auto start = std::chrono::steady_clock::now();
  const pid_t bridge = start_command(options);
  std::map<long, ThreadTimes> threads;
  rusage usage{};
  int status = 0;
  for (;;) {
    const pid_t ended = wait4(bridge, &status, WNOHANG, &usage);
    if (ended == bridge || ended < 0) break;
    // A thread that has ended keeps its last sample.
    for (const auto& [tid, times] : thread_times(bridge)) threads[tid] = times;
    std::this_thread::sleep_for(kSamplePeriod);
  }
  const double wall_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  for (pid_t pid : load) kill(pid, SIGKILL);
  for (pid_t pid : load) waitpid(pid, nullptr, 0);

  std::printf("%s: exit code %d\n", options.label.c_str(),
              WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  std::printf("metric %s_exit_code %d\n", options.label.c_str(),
              WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  print_cpu(options.label, bridge, usage, wall_s, threads);
  print_lateness(options.label, read_report(report));
  return 0;
}
