// What the probe does differently for each HID port it is built with: the
// port's own options, and why an interface path did not open. One
// implementation per port: port_diagnostics_linux.cpp (hidraw),
// port_diagnostics_win32.cpp, port_diagnostics_sim.cpp (simulated port).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace probe {

struct OpenFailure {
  std::string reason;          // e.g. "permission denied"
  bool no_permission = false;  // the user's rights, not the device, stop the open
  bool ids_known = false;      // vendor and product found without opening the path
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
};

// The port's name, for the first line of the report.
const char* PortDescription();
// Lines for --help about the port's own options; empty when it has none.
const char* PortOptionsHelp();
// True when `name` (with its leading "--") is one of the port's options.
bool HasPortOption(std::string_view name);
// Takes one of the port's options with its value. Must be called before the
// library state is first used.
void SetPortOption(std::string_view name, std::string_view value);

// Why `path` does not open with read and write access; asked right after the
// port's Open failed, by trying once more.
OpenFailure ExplainOpenFailure(const char* path);

// Who may open `path` (owner, group, mode), for a path that did not open for
// lack of permission; empty when the port cannot tell.
std::string DescribeAccess(const char* path);

// Lines that tell the user how to get access to the given paths, which did
// not open for lack of permission.
std::string PermissionAdvice(const std::vector<std::string>& paths);

}  // namespace probe
