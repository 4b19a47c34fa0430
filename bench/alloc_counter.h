// Counts heap allocations per thread, split by where the thread is: in its
// own code, inside the device library, or inside the library's HID port.
// The counting replaces malloc and its relatives (and so every operator new)
// for the whole process; link alloc_counter_linux.cpp into a program, or
// preload it into one, to use it.
#pragma once

#include <cstdint>

extern "C" {
// Marks the calling thread as entering (delta +1) or leaving (delta -1) a
// scope. Exported, so that libraries loaded at run time (the gated library
// and its port) can mark their own scopes.
void bench_alloc_scope(int scope, int delta);
}

namespace bench_alloc {

enum Scope : int {
  kOwnCode = 0,  // anywhere outside the scopes below
  kLibrary = 1,  // inside a call of the device library
  kPort = 2,     // inside a call of the library's HID port (nested in kLibrary)
  kScopes = 3,
};

// What one thread did: allocations by the innermost scope it was in.
struct ThreadCounts {
  long tid = 0;
  std::uint64_t startup[kScopes] = {};   // before the start-up window closed
  std::uint64_t running[kScopes] = {};   // after it, until the running window closed
  std::uint64_t shutdown[kScopes] = {};  // after that
  std::uint64_t library_calls = 0;       // library scopes entered while running
  bool entered_library = false;
};

// Allocations of the calling thread so far, by scope, start-up included.
ThreadCounts current_thread();

// Gives the calling thread its record now, so that it is reported even if it
// never allocates.
void register_current_thread();

// Until this is first called, allocations count as start-up. From the call
// on, they count as start-up until `startup_ms` milliseconds have passed,
// then as running until `stop_ms` milliseconds have passed, then as
// shut-down. 0 leaves out the window: (0, 0) counts everything as running.
void set_windows_ms(std::int64_t startup_ms, std::int64_t stop_ms);

// From now on, writes a backtrace of every allocation counted as running to
// the file descriptor `fd` (-1: none), to find where an allocation comes from.
void set_trace_fd(int fd);

// Copies the record of every thread that allocated or marked a scope; the
// number of records.
int snapshot(ThreadCounts* out, int capacity);

}  // namespace bench_alloc
