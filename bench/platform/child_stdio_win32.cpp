#include <windows.h>

#include "platform/child_stdio.h"

namespace child_stdio {

int read_input(char* buffer, int size) {
  DWORD count = 0;
  if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, static_cast<DWORD>(size), &count,
                nullptr)) {
    return 0;
  }
  return static_cast<int>(count);
}

bool write_output(const char* bytes, int size) {
  while (size > 0) {
    DWORD count = 0;
    if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, static_cast<DWORD>(size), &count,
                   nullptr) ||
        count == 0) {
      return false;
    }
    bytes += count;
    size -= static_cast<int>(count);
  }
  return true;
}

}  // namespace child_stdio
