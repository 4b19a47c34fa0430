// The probe over the Win32 HID port (zelk::PlatformPort comes from the
// library's port_win32.cpp).
#include <windows.h>

#include <cctype>
#include <cstdlib>
#include <string>

#include "tools/probe/port_diagnostics.h"

namespace probe {

namespace {

// "vid_1209" or "pid_0001" in a device interface path, in any case.
bool FindId(const std::string& path, const char* tag, std::uint16_t* id) {
  std::string lower = path;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::size_t at = lower.find(tag);
  if (at == std::string::npos || at + 4 + 4 > lower.size()) return false;
  const std::string digits = lower.substr(at + 4, 4);
  for (const char c : digits) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  *id = static_cast<std::uint16_t>(std::strtoul(digits.c_str(), nullptr, 16));
  return true;
}

}  // namespace

const char* PortDescription() { return "Windows HID (SetupAPI)"; }

const char* PortOptionsHelp() { return ""; }

bool HasPortOption(std::string_view) { return false; }

void SetPortOption(std::string_view, std::string_view) {}

OpenFailure ExplainOpenFailure(const char* path) {
  OpenFailure failure;
  failure.ids_known =
      FindId(path, "vid_", &failure.vendor_id) && FindId(path, "pid_", &failure.product_id);
  const HANDLE handle =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, 0, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    failure.reason = "it opens now, but did not a moment before";
    return failure;
  }
  const DWORD error = GetLastError();
  switch (error) {
    case ERROR_ACCESS_DENIED:
      failure.reason = "access denied";
      failure.no_permission = true;
      break;
    case ERROR_SHARING_VIOLATION:
      failure.reason = "another program holds it without sharing";
      break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
      failure.reason = "no such device (unplugged?)";
      break;
    default:
      failure.reason = "Windows error " + std::to_string(error);
      break;
  }
  return failure;
}

std::string DescribeAccess(const char*) { return {}; }

std::string PermissionAdvice(const std::vector<std::string>&) {
  return "Windows keeps keyboards and mice for itself; a thermometer interface that refuses\n"
         "access is held by another program or barred by a policy. Close the programs that may\n"
         "use the thermometer, unplug it and plug it in again.\n";
}

}  // namespace probe
