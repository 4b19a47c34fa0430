// The preloaded form of the allocation counter: counts the allocations of a
// program that knows nothing of it, and writes one line per thread when the
// program ends.
//
//   LD_PRELOAD=libbench_alloc_shim.so BENCH_ALLOC_REPORT=FILE
//   [BENCH_ALLOC_STARTUP_MS=3000] [BENCH_ALLOC_STOP_MS=0] [BENCH_ALLOC_TRACE=FILE] program
//
// Allocations in the first BENCH_ALLOC_STARTUP_MS milliseconds count as
// start-up, those after BENCH_ALLOC_STOP_MS milliseconds (when not 0) as
// shut-down, the others as running. The report gives the length of the
// running window and one line per thread (with BENCH_ALLOC_TRACE, every
// allocation in the running window also writes a backtrace to that file):
//
//   running_ms MS
//   thread TID ROLE startup OWN LIBRARY PORT running OWN LIBRARY PORT
//          shutdown OWN LIBRARY PORT library_calls N
//
// ROLE is "main" for the process's first thread, "library" for a thread that
// entered the device library (through a gated library), "other" otherwise.
// Every thread is registered when it starts, so a thread that never
// allocates is reported too. The variables are removed from the environment at load, so the
// program's own children are not counted.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "alloc_counter.h"

namespace {

char g_report_path[4096];
std::int64_t g_running_from_ms = 0;
std::int64_t g_running_until_ms = 0;  // 0: until the end

std::int64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

const char* role_of(const bench_alloc::ThreadCounts& counts) {
  if (counts.tid == static_cast<long>(getpid())) return "main";
  return counts.entered_library ? "library" : "other";
}

__attribute__((constructor)) void start_counting() {
  const char* path = std::getenv("BENCH_ALLOC_REPORT");
  if (path != nullptr && std::strlen(path) < sizeof g_report_path) {
    std::strcpy(g_report_path, path);
  }
  const char* startup = std::getenv("BENCH_ALLOC_STARTUP_MS");
  const char* stop = std::getenv("BENCH_ALLOC_STOP_MS");
  const std::int64_t startup_ms = startup != nullptr ? std::atoll(startup) : 3000;
  const std::int64_t stop_ms = stop != nullptr ? std::atoll(stop) : 0;
  bench_alloc::set_windows_ms(startup_ms, stop_ms);
  bench_alloc::register_current_thread();
  const std::int64_t now = monotonic_ms();
  g_running_from_ms = now + startup_ms;
  g_running_until_ms = stop_ms > 0 ? now + stop_ms : 0;
  unsetenv("LD_PRELOAD");
  unsetenv("BENCH_ALLOC_REPORT");
  unsetenv("BENCH_ALLOC_STARTUP_MS");
  unsetenv("BENCH_ALLOC_STOP_MS");
  const char* trace = std::getenv("BENCH_ALLOC_TRACE");
  if (trace != nullptr && trace[0] != '\0') {
    bench_alloc::set_trace_fd(
        open(trace, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
  }
  unsetenv("BENCH_ALLOC_TRACE");
}

__attribute__((destructor)) void write_report() {
  if (g_report_path[0] == '\0') return;
  static bench_alloc::ThreadCounts threads[256];
  const int count = bench_alloc::snapshot(threads, 256);
  const int fd = open(g_report_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char line[512];
  const std::int64_t until = g_running_until_ms != 0 ? g_running_until_ms : monotonic_ms();
  int length = std::snprintf(line, sizeof line, "running_ms %lld\n",
                             static_cast<long long>(until - g_running_from_ms));
  if (write(fd, line, static_cast<std::size_t>(length)) < 0) return;
  for (int i = 0; i < count; ++i) {
    const bench_alloc::ThreadCounts& t = threads[i];
    length = std::snprintf(
        line, sizeof line,
        "thread %ld %s startup %llu %llu %llu running %llu %llu %llu shutdown %llu %llu %llu "
        "library_calls %llu\n",
        t.tid, role_of(t), static_cast<unsigned long long>(t.startup[0]),
        static_cast<unsigned long long>(t.startup[1]),
        static_cast<unsigned long long>(t.startup[2]),
        static_cast<unsigned long long>(t.running[0]),
        static_cast<unsigned long long>(t.running[1]),
        static_cast<unsigned long long>(t.running[2]),
        static_cast<unsigned long long>(t.shutdown[0]),
        static_cast<unsigned long long>(t.shutdown[1]),
        static_cast<unsigned long long>(t.shutdown[2]),
        static_cast<unsigned long long>(t.library_calls));
    if (write(fd, line, static_cast<std::size_t>(length)) < 0) break;
  }
  close(fd);
}

}  // namespace

extern "C" {
void* __libc_malloc(std::size_t size);
void __libc_free(void* pointer);
}

namespace {

struct ThreadStart {
  void* (*routine)(void*);
  void* argument;
};

void* registered_start(void* start_record) {
  const ThreadStart start = *static_cast<ThreadStart*>(start_record);
  __libc_free(start_record);
  bench_alloc::register_current_thread();
  return start.routine(start.argument);
}

}  // namespace

// Starts every thread through registered_start; its small record comes from
// glibc directly, so it is not counted as the program's allocation.
extern "C" __attribute__((visibility("default"))) int pthread_create(
    pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*), void* argument) {
  using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto real_create = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
  auto* start = static_cast<ThreadStart*>(__libc_malloc(sizeof(ThreadStart)));
  if (start == nullptr) return real_create(thread, attributes, routine, argument);
  *start = ThreadStart{routine, argument};
  const int result = real_create(thread, attributes, registered_start, start);
  if (result != 0) __libc_free(start);
  return result;
}
