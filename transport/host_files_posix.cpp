#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "transport/host_files.h"
#include "transport/profile_text.h"

namespace zelk {

std::uint32_t HostProgramPathOfProcess(char* buffer, std::uint32_t size) {
  if (size == 0) return 0;
  char full[4096];
  const ssize_t length = readlink("/proc/self/exe", full, sizeof(full) - 1);
  if (length <= 0) {
    buffer[0] = '\0';
    return 0;
  }
  const auto kept =
      static_cast<std::uint32_t>(length) < size ? static_cast<std::uint32_t>(length) : size - 1;
  std::memcpy(buffer, full, kept);
  buffer[kept] = '\0';
  return kept;
}

int ReadProfileIntFromFile(const char* section, const char* key, int default_value,
                           const char* path) {
  try {
    std::ifstream file(path, std::ios::binary);
    if (!file) return default_value;
    std::ostringstream text;
    text << file.rdbuf();
    return ProfileIntFromText(text.str(), section, key, default_value);
  } catch (...) {  // out of memory: the library reports through results only
    return default_value;
  }
}

}  // namespace zelk
