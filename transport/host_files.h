// The host's files as the library sees them: the path of the host program
// and integers read from INI files. Shared by the ports of one platform.
#pragma once

#include <cstdint>

namespace zelk {

// The full path of the host program's executable, cut to fit `size` with its
// NUL; the path's length, 0 on failure.
std::uint32_t HostProgramPathOfProcess(char* buffer, std::uint32_t size);

// The integer under [section] key of the INI file at `path`, as
// GetPrivateProfileIntA gives it; `default_value` when the file or key is missing.
int ReadProfileIntFromFile(const char* section, const char* key, int default_value,
                           const char* path);

}  // namespace zelk
