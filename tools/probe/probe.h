// The diagnostic report of zelkhid-probe: every HID interface the port lists,
// how the interfaces group by USB device, which groups the library pairs as a
// thermometer, and optionally one sample read the bridge's way.
#pragma once

#include <cstdio>

namespace probe {

// The program's exit codes.
enum ExitCode : int {
  kExitOk = 0,        // a thermometer was found (and the sample read was good)
  kExitUsage = 1,     // the command line could not be understood
  kExitNoDevice = 2,  // no thermometer (or the chosen device number has none)
  kExitNoPermission =
      3,                // no thermometer, and a possible one could not be opened for lack of rights
  kExitReadFailed = 4,  // the sample read failed or its bytes are not valid
};

struct ProbeOptions {
  int read_device = 0;  // 0: list only; n: also read one sample from device n
};

// Writes the report to `out` and returns the exit code.
int RunProbe(const ProbeOptions& options, std::FILE* out);

}  // namespace probe
