// zelkhid-probe: shows what the transport library sees of the machine's HID
// interfaces and, on request, reads one sample the bridge's way.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/probe/port_diagnostics.h"
#include "tools/probe/probe.h"
#include "transport/library_state.h"

namespace {

constexpr char kUsage[] =
    "Usage: zelkhid-probe [--read N] [options]\n"
    "\n"
    "Lists every HID interface (index, device key, VID:PID, usage page:usage, input/output\n"
    "report bytes, role, path), groups them by device key (one USB device), and tells which\n"
    "pairs pass as a thermometer against the VID and PID of the DeviceInfo.ini beside this\n"
    "program. It names the DeviceInfo.ini it read and the values.\n"
    "\n"
    "  --read N    also read one sample from device N (1 = the device the bridge uses), the way\n"
    "              the bridge does, and print its 64 bytes and the status the bridge would give\n"
    "  -h, --help  show this text\n"
    "%s"
    "\n"
    "Exit codes:\n"
    "  0  a thermometer was found; with --read: the sample is good (status 0 Success)\n"
    "  1  usage error\n"
    "  2  no thermometer; with --read: status 2 No Device\n"
    "  3  no thermometer, and an interface that may be the thermometer could not be opened\n"
    "     for lack of permission (the report names it and tells how to get access)\n"
    "  4  with --read: the read failed or the bytes are not valid (status 3 Read Failed or\n"
    "     4 Bad Data)\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "zelkhid-probe: %s (see --help)\n", message.c_str());
  return probe::kExitUsage;
}

// A device number from 1 to the size of the library's device table.
bool ParseDevice(std::string_view text, int* device) {
  if (text.empty() || text.size() > 3) return false;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > zelk::kDeviceSlots) return false;
  *device = value;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  probe::ProbeOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (argument == "-h" || argument == "--help") {
      std::printf(kUsage, probe::PortOptionsHelp());
      return probe::kExitOk;
    }
    if (argument.substr(0, 2) != "--") {
      return UsageError("unexpected argument '" + std::string(argument) + "'");
    }
    // "--name value" or "--name=value".
    std::string_view name = argument;
    std::string_view value;
    bool has_value = false;
    if (const std::size_t equals = argument.find('='); equals != std::string_view::npos) {
      name = argument.substr(0, equals);
      value = argument.substr(equals + 1);
      has_value = true;
    } else if (i + 1 < argc) {
      value = argv[i + 1];
    }
    const bool is_read = name == "--read";
    if (!is_read && !probe::HasPortOption(name)) {
      return UsageError("unknown option " + std::string(name));
    }
    if (!has_value) {
      if (i + 1 >= argc) return UsageError("option " + std::string(name) + " needs a value");
      ++i;
    }
    if (!is_read) {
      probe::SetPortOption(name, value);
    } else if (!ParseDevice(value, &options.read_device)) {
      return UsageError("--read takes a device number from 1 to " +
                        std::to_string(zelk::kDeviceSlots) + ", not '" + std::string(value) + "'");
    }
  }
  const int code = probe::RunProbe(options, stdout);
  std::fflush(stdout);
  return code;
}
