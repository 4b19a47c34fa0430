// The counting allocator: malloc and its relatives, defined here so that they
// replace glibc's for the whole process (glibc supports this), count the
// call for the calling thread and hand it on to glibc's own allocator.
// Nothing here allocates: the per-thread records are a fixed table, and the
// thread's record and scope depths are initial-exec TLS, which needs no
// allocation even in a preloaded library.
#include <execinfo.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <ctime>

#include "alloc_counter.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void __libc_free(void* pointer);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace bench_alloc {
namespace {

constexpr int kThreadSlots = 256;

struct Slot {
  std::atomic<long> tid{0};
  std::atomic<std::uint64_t> startup[kScopes] = {};
  std::atomic<std::uint64_t> running[kScopes] = {};
  std::atomic<std::uint64_t> shutdown[kScopes] = {};
  std::atomic<std::uint64_t> library_calls{0};
  std::atomic<bool> entered_library{false};
};

constinit Slot g_slots[kThreadSlots];
constinit std::atomic<int> g_slots_used{0};
constinit std::atomic<bool> g_windows_set{false};
constinit std::atomic<std::int64_t> g_startup_end_ns{0};
constinit std::atomic<std::int64_t> g_running_end_ns{0};
constinit std::atomic<int> g_trace_fd{-1};

__attribute__((tls_model("initial-exec"))) constinit thread_local Slot* t_slot = nullptr;
__attribute__((tls_model("initial-exec"))) constinit thread_local int t_depth[kScopes] = {};
__attribute__((tls_model("initial-exec"))) constinit thread_local bool t_tracing = false;

std::int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

Slot& my_slot() {
  if (t_slot == nullptr) {
    int index = g_slots_used.fetch_add(1, std::memory_order_relaxed);
    // Threads beyond the table share its last record.
    if (index >= kThreadSlots) index = kThreadSlots - 1;
    t_slot = &g_slots[index];
    t_slot->tid.store(static_cast<long>(syscall(SYS_gettid)), std::memory_order_relaxed);
  }
  return *t_slot;
}

enum class Phase { kStartup, kRunning, kShutdown };

Phase phase_now() {
  if (!g_windows_set.load(std::memory_order_acquire)) return Phase::kStartup;
  const std::int64_t startup_end = g_startup_end_ns.load(std::memory_order_relaxed);
  const std::int64_t running_end = g_running_end_ns.load(std::memory_order_relaxed);
  if (startup_end == 0 && running_end == 0) return Phase::kRunning;
  const std::int64_t now = monotonic_ns();
  if (now < startup_end) return Phase::kStartup;
  if (running_end != 0 && now >= running_end) return Phase::kShutdown;
  return Phase::kRunning;
}

Scope innermost_scope() {
  if (t_depth[kPort] > 0) return kPort;
  if (t_depth[kLibrary] > 0) return kLibrary;
  return kOwnCode;
}

void count_allocation() {
  Slot& slot = my_slot();
  const Phase phase = phase_now();
  auto& counts = phase == Phase::kStartup   ? slot.startup
                 : phase == Phase::kRunning ? slot.running
                                            : slot.shutdown;
  counts[innermost_scope()].fetch_add(1, std::memory_order_relaxed);
  const int trace_fd = g_trace_fd.load(std::memory_order_relaxed);
  if (phase == Phase::kRunning && trace_fd >= 0 && !t_tracing) {
    t_tracing = true;  // backtrace may allocate itself
    void* frames[24];
    const int depth = backtrace(frames, 24);
    char header[64];
    const int length =
        std::snprintf(header, sizeof header, "-- allocation while running, thread %ld\n",
                      slot.tid.load(std::memory_order_relaxed));
    if (write(trace_fd, header, static_cast<std::size_t>(length)) > 0) {
      backtrace_symbols_fd(frames, depth, trace_fd);
    }
    t_tracing = false;
  }
}

}  // namespace

ThreadCounts current_thread() {
  const Slot& slot = my_slot();
  ThreadCounts counts;
  counts.tid = slot.tid.load(std::memory_order_relaxed);
  for (int s = 0; s < kScopes; ++s) {
    counts.startup[s] = slot.startup[s].load(std::memory_order_relaxed);
    counts.running[s] = slot.running[s].load(std::memory_order_relaxed);
    counts.shutdown[s] = slot.shutdown[s].load(std::memory_order_relaxed);
  }
  counts.library_calls = slot.library_calls.load(std::memory_order_relaxed);
  counts.entered_library = slot.entered_library.load(std::memory_order_relaxed);
  return counts;
}

void register_current_thread() { my_slot(); }

void set_trace_fd(int fd) {
  if (fd >= 0) {
    // The first backtrace loads the unwinder, which allocates: do it now.
    void* frame[1];
    t_tracing = true;
    backtrace(frame, 1);
    t_tracing = false;
  }
  g_trace_fd.store(fd, std::memory_order_relaxed);
}

void set_windows_ms(std::int64_t startup_ms, std::int64_t stop_ms) {
  const std::int64_t now = monotonic_ns();
  g_startup_end_ns.store(startup_ms > 0 ? now + startup_ms * 1'000'000 : 0,
                         std::memory_order_relaxed);
  g_running_end_ns.store(stop_ms > 0 ? now + stop_ms * 1'000'000 : 0, std::memory_order_relaxed);
  g_windows_set.store(true, std::memory_order_release);
}

int snapshot(ThreadCounts* out, int capacity) {
  int used = g_slots_used.load(std::memory_order_relaxed);
  if (used > kThreadSlots) used = kThreadSlots;
  int copied = 0;
  for (int i = 0; i < used && copied < capacity; ++i) {
    const Slot& slot = g_slots[i];
    ThreadCounts& counts = out[copied++];
    counts.tid = slot.tid.load(std::memory_order_relaxed);
    for (int s = 0; s < kScopes; ++s) {
      counts.startup[s] = slot.startup[s].load(std::memory_order_relaxed);
      counts.running[s] = slot.running[s].load(std::memory_order_relaxed);
      counts.shutdown[s] = slot.shutdown[s].load(std::memory_order_relaxed);
    }
    counts.library_calls = slot.library_calls.load(std::memory_order_relaxed);
    counts.entered_library = slot.entered_library.load(std::memory_order_relaxed);
  }
  return copied;
}

}  // namespace bench_alloc

using bench_alloc::count_allocation;

extern "C" {

__attribute__((visibility("default"))) void bench_alloc_scope(int scope, int delta) {
  using namespace bench_alloc;
  if (scope <= kOwnCode || scope >= kScopes) return;
  t_depth[scope] += delta;
  if (scope == kLibrary && delta > 0 && t_depth[scope] == 1) {
    Slot& slot = my_slot();
    slot.entered_library.store(true, std::memory_order_relaxed);
    if (phase_now() == Phase::kRunning) slot.library_calls.fetch_add(1, std::memory_order_relaxed);
  }
}

__attribute__((visibility("default"))) void* malloc(std::size_t size) {
  count_allocation();
  return __libc_malloc(size);
}

__attribute__((visibility("default"))) void free(void* pointer) { __libc_free(pointer); }

__attribute__((visibility("default"))) void* calloc(std::size_t count, std::size_t size) {
  count_allocation();
  return __libc_calloc(count, size);
}

__attribute__((visibility("default"))) void* realloc(void* pointer, std::size_t size) {
  count_allocation();
  return __libc_realloc(pointer, size);
}

__attribute__((visibility("default"))) void* reallocarray(void* pointer, std::size_t count,
                                                          std::size_t size) {
  std::size_t bytes = 0;
  if (__builtin_mul_overflow(count, size, &bytes)) {
    errno = ENOMEM;
    return nullptr;
  }
  count_allocation();
  return __libc_realloc(pointer, bytes);
}

__attribute__((visibility("default"))) void* memalign(std::size_t alignment, std::size_t size) {
  count_allocation();
  return __libc_memalign(alignment, size);
}

__attribute__((visibility("default"))) void* aligned_alloc(std::size_t alignment,
                                                           std::size_t size) {
  count_allocation();
  return __libc_memalign(alignment, size);
}

__attribute__((visibility("default"))) int posix_memalign(void** result, std::size_t alignment,
                                                          std::size_t size) {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  count_allocation();
  void* pointer = __libc_memalign(alignment, size);
  if (pointer == nullptr) return ENOMEM;
  *result = pointer;
  return 0;
}

__attribute__((visibility("default"))) void* valloc(std::size_t size) {
  count_allocation();
  return __libc_memalign(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), size);
}

__attribute__((visibility("default"))) void* pvalloc(std::size_t size) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  count_allocation();
  return __libc_memalign(page, (size + page - 1) / page * page);
}

}  // extern "C"
