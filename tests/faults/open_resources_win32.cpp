#include <windows.h>

#include <cstdint>

#include "open_resources.h"

// Wine answers GetProcessHandleCount with 0, so the handles are counted by
// asking for the flags of every handle value up to 64 Ki: a value is an open
// handle exactly when that succeeds. Handle values are multiples of 4 and
// are handed out from the lowest free ones, so a leak shows up there.
int open_resource_count() {
  int count = 0;
  for (std::uintptr_t value = 4; value < 0x10000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  }
  return count;
}
