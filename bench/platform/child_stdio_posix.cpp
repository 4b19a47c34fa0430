#include <unistd.h>

#include "platform/child_stdio.h"

namespace child_stdio {

int read_input(char* buffer, int size) {
  const ssize_t count = read(STDIN_FILENO, buffer, static_cast<size_t>(size));
  return count > 0 ? static_cast<int>(count) : 0;
}

bool write_output(const char* bytes, int size) {
  while (size > 0) {
    const ssize_t count = write(STDOUT_FILENO, bytes, static_cast<size_t>(size));
    if (count <= 0) return false;
    bytes += count;
    size -= static_cast<int>(count);
  }
  return true;
}

}  // namespace child_stdio
