#include "tools/probe/probe.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "acquisition.h"
#include "tools/probe/linked_library.h"
#include "tools/probe/port_diagnostics.h"
#include "transport/interface.h"
#include "transport/library_state.h"
#include "transport/zelkhid.h"

namespace probe {

namespace {

// One HID interface as the port shows it, read without the library's checks.
struct InterfaceInfo {
  std::string path;
  bool key_known = false;  // both parent lookups worked
  std::int32_t key = 0;
  bool opened = false;
  OpenFailure failure;  // when not opened
  bool attributes_read = false;
  zelk::HidAttributes attributes;
  bool caps_read = false;
  zelk::HidCaps caps;
};

// Interfaces of one USB device, in enumeration order (indexes into the list).
struct Group {
  std::int32_t key = 0;
  std::vector<std::size_t> members;
};

struct Configured {
  std::string path;
  bool file_found = false;
  std::int32_t vendor_id = 0;
  std::int32_t product_id = 0;
};

std::string Hex4(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "%04X", value & 0xFFFFu);
  return text;
}

std::string IdPair(std::uint16_t vendor_id, std::uint16_t product_id) {
  return Hex4(vendor_id) + ":" + Hex4(product_id);
}

bool FitsId(std::int32_t value) { return value >= 0 && value <= 0xFFFF; }

bool MatchesConfigured(std::uint16_t vendor_id, std::uint16_t product_id, const Configured& c) {
  return static_cast<std::int32_t>(vendor_id) == c.vendor_id &&
         static_cast<std::int32_t>(product_id) == c.product_id;
}

const char* RoleOf(const zelk::HidCaps& caps) {
  if (caps.usage_page == zelk::kCommandUsagePage && caps.usage == zelk::kCommandUsage) {
    return "command";
  }
  if (caps.usage_page == zelk::kDataUsagePage && caps.usage == zelk::kDataUsage) return "data";
  return "-";
}

// Opens the interface for reading its attributes and capabilities only, and
// closes it again.
void Inspect(zelk::HidPort& port, InterfaceInfo& info) {
  const zelk::PortHandle handle = port.Open(info.path.c_str(), false);
  if (handle == zelk::kInvalidHandle) {
    info.failure = ExplainOpenFailure(info.path.c_str());
    return;
  }
  info.opened = true;
  info.attributes_read = port.GetAttributes(handle, &info.attributes);
  zelk::PortPreparsed preparsed = 0;
  if (port.GetPreparsedData(handle, &preparsed)) {
    info.caps_read = port.GetCaps(preparsed, &info.caps);
    port.FreePreparsedData(preparsed);
  }
  port.Close(handle);
}

// Every present HID interface with its device key, then each one inspected.
// False when the port gives no interface set at all.
bool ListInterfaces(zelk::HidPort& port, std::vector<InterfaceInfo>& list) {
  const zelk::PortDeviceSet set = port.GetPresentInterfaces();
  if (set == 0) return false;
  for (std::uint32_t index = 0; port.EnumInterface(set, index); ++index) {
    const std::uint32_t size = port.InterfaceDetailSize(set, index);
    void* detail = port.AllocateDetail(size);
    if (detail == nullptr) break;
    const char* path = nullptr;
    zelk::PortDevNode node = 0;
    if (port.ReadInterfaceDetail(set, index, detail, size, &path, &node)) {
      InterfaceInfo info;
      info.path = path;
      zelk::PortDevNode parent = 0;
      zelk::PortDevNode grandparent = 0;
      info.key_known = port.GetParent(node, &parent) && port.GetParent(parent, &grandparent);
      info.key = static_cast<std::int32_t>(grandparent);
      list.push_back(std::move(info));
    }
    port.FreeDetail(detail);
  }
  port.DestroyInterfaceSet(set);
  for (InterfaceInfo& info : list) Inspect(port, info);
  return true;
}

std::vector<Group> GroupByKey(const std::vector<InterfaceInfo>& list) {
  std::vector<Group> groups;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (!list[i].key_known) continue;
    Group* group = nullptr;
    for (Group& g : groups) {
      if (g.key == list[i].key) group = &g;
    }
    if (group == nullptr) group = &groups.emplace_back(Group{list[i].key, {}});
    group->members.push_back(i);
  }
  return groups;
}

Configured ReadConfiguration() {
  Configured configured;
  char path[zelk::kDeviceInfoPathCapacity];
  zelk::DeviceInfoPath(path);
  configured.path = path;
  if (std::FILE* file = std::fopen(path, "rb")) {
    configured.file_found = true;
    std::fclose(file);
  }
  zelk::ReadDeviceInfo();
  configured.vendor_id = zelk::State().vendor_id;
  configured.product_id = zelk::State().product_id;
  return configured;
}

// A likely reason why the library did not pair a group's first two
// interfaces, from what the listing saw of them.
std::string WhyPairFails(const InterfaceInfo& a, const InterfaceInfo& b, const Configured& c) {
  for (const InterfaceInfo* info : {&a, &b}) {
    if (!info->opened) return info->path + " cannot be opened (" + info->failure.reason + ")";
    if (!info->attributes_read) return "the attributes of " + info->path + " cannot be read";
  }
  for (const InterfaceInfo* info : {&a, &b}) {
    if (!MatchesConfigured(info->attributes.vendor_id, info->attributes.product_id, c)) {
      return "VID:PID " + IdPair(info->attributes.vendor_id, info->attributes.product_id) +
             " is not DeviceInfo.ini's " + Hex4(static_cast<unsigned>(c.vendor_id)) + ":" +
             Hex4(static_cast<unsigned>(c.product_id)) +
             (FitsId(c.vendor_id) && FitsId(c.product_id) ? "" : " (a value above 0xFFFF)");
    }
  }
  for (const InterfaceInfo* info : {&a, &b}) {
    if (!info->caps_read) return "the capabilities of " + info->path + " cannot be read";
  }
  const std::string roles = std::string(RoleOf(a.caps)) + "+" + RoleOf(b.caps);
  if (roles != "command+data" && roles != "data+command") {
    return "usages " + Hex4(a.caps.usage_page) + ":" + Hex4(a.caps.usage) + " and " +
           Hex4(b.caps.usage_page) + ":" + Hex4(b.caps.usage) +
           " are not one command (0001:0003) and one data (FFA0:0001) interface";
  }
  return "the library's probe open did not pass (the device may have changed meanwhile)";
}

// The device number the library gave the group, 0 when none.
int DeviceNumberOf(const Group& group, const std::vector<InterfaceInfo>& list, int count) {
  if (group.members.size() < 2) return 0;
  const std::string& first = list[group.members[0]].path;
  const std::string& second = list[group.members[1]].path;
  for (int i = 0; i < count && i < zelk::kDeviceSlots; ++i) {
    const zelk::DeviceSlot& slot = zelk::State().device_table[static_cast<std::size_t>(i)];
    if (first == slot.first_path.data() && second == slot.second_path.data()) return i + 1;
  }
  return 0;
}

void PrintConfiguration(const Configured& c, std::FILE* out) {
  std::fprintf(out, "DeviceInfo.ini: %s (%s)\n", c.path.c_str(),
               c.file_found ? "read" : "not found");
  std::fprintf(out, "  VID = 0x%s (%d), PID = 0x%s (%d)\n",
               Hex4(static_cast<unsigned>(c.vendor_id)).c_str(), c.vendor_id,
               Hex4(static_cast<unsigned>(c.product_id)).c_str(), c.product_id);
  if (!c.file_found) {
    std::fprintf(out,
                 "  The file is missing: both identifiers read as 0, so no device can pass.\n");
  } else if (!FitsId(c.vendor_id) || !FitsId(c.product_id)) {
    std::fprintf(out, "  A value does not fit 16 bits: no device can match it.\n");
  }
}

void PrintInterfaces(const std::vector<InterfaceInfo>& list, std::FILE* out) {
  std::fprintf(out, "\nHID interfaces: %zu\n", list.size());
  if (list.empty()) return;
  std::fprintf(out, "  %-5s %-10s %-9s %-10s %-7s %-7s %s\n", "index", "device key", "VID:PID",
               "usage", "in/out", "role", "path");
  for (std::size_t i = 0; i < list.size(); ++i) {
    const InterfaceInfo& info = list[i];
    const std::string key = info.key_known ? std::to_string(info.key) : "none";
    std::string ids = "?";
    if (info.attributes_read) {
      ids = IdPair(info.attributes.vendor_id, info.attributes.product_id);
    } else if (!info.opened && info.failure.ids_known) {
      ids = IdPair(info.failure.vendor_id, info.failure.product_id);
    }
    std::string usage = "?";
    std::string lengths = "?";
    const char* role = "?";
    if (info.caps_read) {
      usage = Hex4(info.caps.usage_page) + ":" + Hex4(info.caps.usage);
      lengths = std::to_string(info.caps.input_report_byte_length) + "/" +
                std::to_string(info.caps.output_report_byte_length);
      role = RoleOf(info.caps);
    }
    std::fprintf(out, "  %-5zu %-10s %-9s %-10s %-7s %-7s %s\n", i, key.c_str(), ids.c_str(),
                 usage.c_str(), lengths.c_str(), role, info.path.c_str());
    if (!info.opened) {
      std::fprintf(out, "        cannot open: %s%s\n", info.failure.reason.c_str(),
                   info.failure.ids_known ? " (VID:PID found without opening it)" : "");
    } else if (!info.attributes_read || !info.caps_read) {
      std::fprintf(out, "        opened, but its %s cannot be read\n",
                   info.attributes_read ? "capabilities" : "attributes");
    }
  }
}

std::string MemberList(const std::vector<std::size_t>& members, std::size_t from, std::size_t to) {
  std::string text;
  for (std::size_t i = from; i < to && i < members.size(); ++i) {
    if (!text.empty()) text += ", ";
    text += std::to_string(members[i]);
  }
  return text;
}

void PrintGroups(const std::vector<Group>& groups, const std::vector<InterfaceInfo>& list,
                 const Configured& configured, int count, std::FILE* out) {
  std::fprintf(out,
               "\nGroups by device key (one USB device each; its first two interfaces are "
               "its candidate pair):\n");
  if (groups.empty()) std::fprintf(out, "  none\n");
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const Group& group = groups[g];
    const auto& m = group.members;
    std::fprintf(out, "  key %d: interface%s %s: ", group.key, m.size() == 1 ? "" : "s",
                 MemberList(m, 0, m.size()).c_str());
    if (g >= static_cast<std::size_t>(zelk::kDeviceSlots)) {
      std::fprintf(out, "ignored: the device table has %d slots\n", zelk::kDeviceSlots);
      continue;
    }
    if (m.size() < 2) {
      std::fprintf(out, "one interface only, not a pair\n");
      continue;
    }
    const int device = DeviceNumberOf(group, list, count);
    if (device > 0) {
      std::fprintf(out, "pair %zu+%zu passes: device %d", m[0], m[1], device);
    } else {
      std::fprintf(out, "pair %zu+%zu fails: %s", m[0], m[1],
                   WhyPairFails(list[m[0]], list[m[1]], configured).c_str());
    }
    if (m.size() > 2) {
      std::fprintf(out, "; %s ignored (only the first two count)",
                   MemberList(m, 2, m.size()).c_str());
    }
    std::fprintf(out, "\n");
  }
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (!list[i].key_known) {
      std::fprintf(out, "  no key: interface %zu (its USB device was not found; skipped)\n", i);
    }
  }
}

void PrintDevices(int count, std::FILE* out) {
  std::fprintf(out, "\nThermometers paired by the library (HID_DeviceInitialize): %d\n", count);
  if (count < 0) std::fprintf(out, "  the enumeration failed\n");
  for (int i = 0; i < count && i < zelk::kDeviceSlots; ++i) {
    const zelk::DeviceSlot& slot = zelk::State().device_table[static_cast<std::size_t>(i)];
    std::fprintf(out, "  device %d: %s + %s\n", i + 1, slot.first_path.data(),
                 slot.second_path.data());
  }
}

void PrintBytes(const CVornDataBuffer& sample, std::FILE* out) {
  for (int row = 0; row < sample.size(); row += 16) {
    std::fprintf(out, "    %02X:", row);
    for (int i = row; i < row + 16 && i < sample.size(); ++i) {
      std::fprintf(out, " %02X", sample.data()[i]);
    }
    std::fprintf(out, "\n");
  }
}

void PrintStep(const char* call, const std::optional<int>& result, std::FILE* out) {
  if (result) {
    std::fprintf(out, "  %s: %d\n", call, *result);
  } else {
    std::fprintf(out, "  %s: not called\n", call);
  }
}

// One read cycle of the bridge (CVornDllApi::read_sample) over the linked
// library, with device `device` in place of device 1; the status code.
std::int32_t ReadSample(int device, std::FILE* out) {
  auto owned = std::make_unique<LinkedLibrary>(device);
  LinkedLibrary* library = owned.get();
  CVornDllApi reader(std::move(owned));
  CVornDataBuffer sample;
  sample.clear();
  const std::int32_t status = reader.read_sample(sample);

  if (device == CVornDllApi::kDevice) {
    std::fprintf(out, "\nReading device %d the way the bridge does:\n", device);
  } else {
    std::fprintf(out, "\nReading device %d the way the bridge reads device %d:\n", device,
                 CVornDllApi::kDevice);
  }
  PrintStep("HID_DeviceInitialize", library->initialize_result, out);
  if (library->select_result) {
    std::fprintf(out, "  HID_SetCurrentDevice(%d, %d ms): %d\n", device,
                 library->select_timeout_ms.value_or(0), *library->select_result);
  } else {
    std::fprintf(out, "  HID_SetCurrentDevice: not called\n");
  }
  PrintStep("HID_ReadData(64 bytes)", library->read_result, out);
  if (library->read_result.value_or(0) != 0) {
    std::fprintf(out, "  bytes:\n");
    PrintBytes(sample, out);
  } else {
    std::fprintf(out, "  bytes: none read\n");
  }
  std::fprintf(out, "  status: %d %s\n", status, status_name(status));
  if (status != kStatusSuccess) {
    std::fprintf(out, "  (with this status the bridge sends 64 zero bytes)\n");
  }
  return status;
}

// Paths that did not open for lack of permission and may belong to the
// thermometer: their identifiers are unknown or the configured ones.
std::vector<std::string> PermissionSuspects(const std::vector<InterfaceInfo>& list,
                                            const Configured& configured) {
  std::vector<std::string> paths;
  for (const InterfaceInfo& info : list) {
    if (info.opened || !info.failure.no_permission) continue;
    if (info.failure.ids_known &&
        !MatchesConfigured(info.failure.vendor_id, info.failure.product_id, configured)) {
      continue;
    }
    paths.push_back(info.path);
  }
  return paths;
}

}  // namespace

int RunProbe(const ProbeOptions& options, std::FILE* out) {
  std::fprintf(out, "zelkhid-probe: HID port: %s\n\n", PortDescription());
  const Configured configured = ReadConfiguration();
  PrintConfiguration(configured, out);

  std::vector<InterfaceInfo> list;
  if (!ListInterfaces(zelk::Port(), list)) {
    std::fprintf(out, "\nThe system gave no list of HID interfaces.\n");
  }
  PrintInterfaces(list, out);

  const int count = HID_DeviceInitialize();
  PrintGroups(GroupByKey(list), list, configured, count, out);
  PrintDevices(count, out);

  const std::vector<std::string> suspects = PermissionSuspects(list, configured);
  const int no_device_code = suspects.empty() ? kExitNoDevice : kExitNoPermission;
  int code = count >= 1 ? kExitOk : no_device_code;
  std::string result = count >= 1 ? std::to_string(count) + " thermometer(s) found"
                                  : std::string("no thermometer found");
  if (options.read_device > 0) {
    const std::int32_t status = ReadSample(options.read_device, out);
    result = "device " + std::to_string(options.read_device) + " gives status " +
             std::to_string(status) + " " + status_name(status);
    if (status == kStatusSuccess) {
      code = kExitOk;
    } else if (status == kStatusNoDevice) {
      code = no_device_code;
    } else {
      code = kExitReadFailed;
    }
  }
  if (code == kExitNoPermission) {
    std::fprintf(out, "\nNo permission to open:\n");
    for (const std::string& path : suspects) {
      const std::string access = DescribeAccess(path.c_str());
      std::fprintf(out, "  %s%s%s%s\n", path.c_str(), access.empty() ? "" : " (", access.c_str(),
                   access.empty() ? "" : ")");
    }
    std::fprintf(out, "%s", PermissionAdvice(suspects).c_str());
    result += ", no permission";
  }
  std::fprintf(out, "\nresult: %s (exit code %d)\n", result.c_str(), code);
  return code;
}

}  // namespace probe
