#include <windows.h>

#include "transport/host_files.h"

namespace zelk {

std::uint32_t HostProgramPathOfProcess(char* buffer, std::uint32_t size) {
  return GetModuleFileNameA(nullptr, buffer, size);
}

int ReadProfileIntFromFile(const char* section, const char* key, int default_value,
                           const char* path) {
  return static_cast<int>(GetPrivateProfileIntA(section, key, default_value, path));
}

}  // namespace zelk
