// The probe over the Linux hidraw port. The port's folders can be moved by
// options, so that a copied or mounted sysfs tree can be examined as well.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "tools/probe/port_diagnostics.h"
#include "transport/hidraw/port_linux.h"
#include "transport/library_state.h"

namespace {

std::string g_hidraw_dir = "/sys/class/hidraw";
std::string g_dev_dir = "/dev";
std::string g_description;

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The identifiers in the node's HID device uevent ("HID_ID=0003:00001209:00000001"),
// which anyone may read.
bool ReadSysfsIds(const std::string& path, probe::OpenFailure* failure) {
  std::ifstream uevent(g_hidraw_dir + "/" + BaseName(path) + "/device/uevent");
  std::string line;
  while (std::getline(uevent, line)) {
    unsigned bus = 0;
    unsigned vendor = 0;
    unsigned product = 0;
    if (std::sscanf(line.c_str(), "HID_ID=%x:%x:%x", &bus, &vendor, &product) == 3) {
      failure->ids_known = true;
      failure->vendor_id = static_cast<std::uint16_t>(vendor);
      failure->product_id = static_cast<std::uint16_t>(product);
      return true;
    }
  }
  return false;
}

std::string UserName(uid_t uid) {
  const passwd* user = ::getpwuid(uid);
  return user != nullptr ? user->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  const group* g = ::getgrgid(gid);
  return g != nullptr ? g->gr_name : std::to_string(gid);
}

}  // namespace

namespace zelk {

HidPort& PlatformPort() {
  // Made on the first use of the library state, after the options were read;
  // kept until the process ends, as the state refers to it.
  static auto* port = new hidraw::LinuxHidPort(g_hidraw_dir, g_dev_dir);
  return *port;
}

}  // namespace zelk

namespace probe {

const char* PortDescription() {
  g_description =
      "Linux hidraw (nodes listed in " + g_hidraw_dir + ", opened in " + g_dev_dir + ")";
  return g_description.c_str();
}

const char* PortOptionsHelp() {
  return "  --hidraw-dir DIR  list the hidraw nodes of DIR instead of /sys/class/hidraw\n"
         "  --dev-dir DIR     open the nodes in DIR instead of /dev\n";
}

bool HasPortOption(std::string_view name) { return name == "--hidraw-dir" || name == "--dev-dir"; }

void SetPortOption(std::string_view name, std::string_view value) {
  (name == "--hidraw-dir" ? g_hidraw_dir : g_dev_dir) = std::string(value);
}

OpenFailure ExplainOpenFailure(const char* path) {
  OpenFailure failure;
  ReadSysfsIds(path, &failure);
  const int fd = ::open(path, O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0) {
    ::close(fd);
    failure.reason = "it opens now, but did not a moment before";
    return failure;
  }
  const int error = errno;
  switch (error) {
    case EACCES:
    case EPERM:
      failure.reason = "permission denied";
      failure.no_permission = true;
      break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      failure.reason = "no such device (unplugged?)";
      break;
    default:
      failure.reason = std::strerror(error);
      break;
  }
  return failure;
}

std::string DescribeAccess(const char* path) {
  struct stat info {};
  if (::stat(path, &info) != 0) return {};
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  return "owner " + UserName(info.st_uid) + ", group " + GroupName(info.st_gid) + ", mode " + mode;
}

std::string PermissionAdvice(const std::vector<std::string>& paths) {
  std::string advice;
  // A group that may already read and write a node: joining it is enough.
  std::string helpful_group;
  for (const std::string& path : paths) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) continue;
    if (info.st_gid != 0 && (info.st_mode & 060) == 060) helpful_group = GroupName(info.st_gid);
  }
  advice +=
      "To give the logged-in user access to the thermometer, install the udev rule\n"
      "70-zelk-thermometer.rules (in the package's udev/ folder; `cmake --install` puts it in\n"
      "/etc/udev/rules.d) and apply it:\n"
      "  sudo cp udev/70-zelk-thermometer.rules /etc/udev/rules.d/\n"
      "  sudo udevadm control --reload-rules\n"
      "  sudo udevadm trigger --subsystem-match=hidraw\n"
      "then unplug the thermometer and plug it in again. The rule's idVendor and idProduct must\n"
      "be the VID and PID of DeviceInfo.ini.\n";
  if (!helpful_group.empty()) {
    advice +=
        "Or join the group that may read and write the node, then log in again:\n"
        "  sudo usermod -aG " +
        helpful_group + " $USER\n";
  }
  return advice;
}

}  // namespace probe
