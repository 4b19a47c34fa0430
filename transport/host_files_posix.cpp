#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "transport/host_files.h"
#include "transport/profile_text.h"

namespace zelk {

namespace {

// Beyond this the file is not a configuration file; only its start is read.
constexpr std::size_t kMaxProfileBytes = 1 << 20;

}  // namespace

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
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return default_value;
  std::string text;
  bool read = true;
  try {
    std::array<char, 4096> chunk;
    while (text.size() < kMaxProfileBytes) {
      const ssize_t n = ::read(fd, chunk.data(), chunk.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // the end, or a folder or device that cannot be read
      text.append(chunk.data(), static_cast<std::size_t>(n));
    }
  } catch (...) {  // out of memory: the library reports through results only
    read = false;
  }
  ::close(fd);
  return read ? ProfileIntFromText(text, section, key, default_value) : default_value;
}

}  // namespace zelk
