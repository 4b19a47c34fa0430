#include "transport/sim/scenario.h"

#include <string>
#include <vector>

#include "transport/profile_text.h"

namespace zelk::sim {

namespace {

// One [device] section as read, before the devices are made.
struct DeviceRecipe {
  bool thermometer = true;
  std::vector<InterfaceKind> interfaces{InterfaceKind::Command, InterfaceKind::Data};
  std::int32_t count = 1;
  std::uint16_t vendor_id = kSampleVendorId;
  std::uint16_t product_id = kSampleProductId;
  std::uint16_t input_length = 65;
  std::uint16_t output_length = 65;
  SampleKind samples = SampleKind::Valid;
  std::uint32_t seed = 1;
  bool silent = false;
  IoFault io_fault = IoFault::None;
  InterfaceFaults interface_faults;
  PresenceSchedule presence;
  PresenceSchedule answering;
};

bool ParseKind(std::string_view word, InterfaceKind* kind) {
  if (EqualsIgnoreCase(word, "command"))
    *kind = InterfaceKind::Command;
  else if (EqualsIgnoreCase(word, "data"))
    *kind = InterfaceKind::Data;
  else if (EqualsIgnoreCase(word, "keyboard"))
    *kind = InterfaceKind::Keyboard;
  else if (EqualsIgnoreCase(word, "vendor"))
    *kind = InterfaceKind::Vendor;
  else
    return false;
  return true;
}

bool ParseInterfaces(std::string_view list, std::vector<InterfaceKind>* kinds) {
  kinds->clear();
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    std::string_view word = list.substr(0, comma);
    while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
    while (!word.empty() && word.back() == ' ') word.remove_suffix(1);
    InterfaceKind kind;
    if (!ParseKind(word, &kind)) return false;
    kinds->push_back(kind);
    list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
  }
  return !kinds->empty();
}

bool ParseBool(std::string_view value) {
  return ParseProfileInteger(value) != 0 || EqualsIgnoreCase(value, "yes") ||
         EqualsIgnoreCase(value, "true");
}

// Applies one key of a [device] section; false when the key or value is unknown.
bool ApplyKey(std::string_view key, std::string_view value, DeviceRecipe& recipe) {
  const auto number = [&] { return ParseProfileInteger(value); };
  const auto u16 = [&] { return static_cast<std::uint16_t>(ParseProfileInteger(value)); };
  if (EqualsIgnoreCase(key, "kind")) {
    recipe.thermometer = EqualsIgnoreCase(value, "thermometer");
    if (recipe.thermometer) return true;
    InterfaceKind kind;
    if (!ParseKind(value, &kind)) return false;
    recipe.interfaces = {kind};
  } else if (EqualsIgnoreCase(key, "interfaces")) {
    return ParseInterfaces(value, &recipe.interfaces);
  } else if (EqualsIgnoreCase(key, "count")) {
    recipe.count = number();
  } else if (EqualsIgnoreCase(key, "vid")) {
    recipe.vendor_id = u16();
  } else if (EqualsIgnoreCase(key, "pid")) {
    recipe.product_id = u16();
  } else if (EqualsIgnoreCase(key, "input_length")) {
    recipe.input_length = u16();
  } else if (EqualsIgnoreCase(key, "output_length")) {
    recipe.output_length = u16();
  } else if (EqualsIgnoreCase(key, "samples")) {
    if (EqualsIgnoreCase(value, "valid"))
      recipe.samples = SampleKind::Valid;
    else if (EqualsIgnoreCase(value, "zero"))
      recipe.samples = SampleKind::Zero;
    else if (EqualsIgnoreCase(value, "bad"))
      recipe.samples = SampleKind::Bad;
    else
      return false;
  } else if (EqualsIgnoreCase(key, "seed")) {
    recipe.seed = static_cast<std::uint32_t>(number());
  } else if (EqualsIgnoreCase(key, "silent")) {
    recipe.silent = ParseBool(value);
  } else if (EqualsIgnoreCase(key, "io_fault")) {
    if (EqualsIgnoreCase(value, "none"))
      recipe.io_fault = IoFault::None;
    else if (EqualsIgnoreCase(value, "fail"))
      recipe.io_fault = IoFault::StartFails;
    else if (EqualsIgnoreCase(value, "error"))
      recipe.io_fault = IoFault::CompletesWithError;
    else if (EqualsIgnoreCase(value, "short"))
      recipe.io_fault = IoFault::ShortCount;
    else if (EqualsIgnoreCase(value, "wait"))
      recipe.io_fault = IoFault::WaitFails;
    else
      return false;
  } else if (EqualsIgnoreCase(key, "open_fault")) {
    recipe.interface_faults.open = EqualsIgnoreCase(value, "always");
    recipe.interface_faults.open_overlapped = EqualsIgnoreCase(value, "overlapped");
    return recipe.interface_faults.open || recipe.interface_faults.open_overlapped ||
           EqualsIgnoreCase(value, "none");
  } else if (EqualsIgnoreCase(key, "present_cycles") || EqualsIgnoreCase(key, "present_ms")) {
    recipe.presence.present = static_cast<std::uint64_t>(number());
  } else if (EqualsIgnoreCase(key, "absent_cycles") || EqualsIgnoreCase(key, "absent_ms")) {
    recipe.presence.absent = static_cast<std::uint64_t>(number());
  } else if (EqualsIgnoreCase(key, "answer_cycles") || EqualsIgnoreCase(key, "answer_ms")) {
    recipe.answering.present = static_cast<std::uint64_t>(number());
  } else if (EqualsIgnoreCase(key, "silent_cycles") || EqualsIgnoreCase(key, "silent_ms")) {
    recipe.answering.absent = static_cast<std::uint64_t>(number());
  } else {
    return false;
  }
  if (EqualsIgnoreCase(key, "present_cycles") || EqualsIgnoreCase(key, "absent_cycles")) {
    recipe.presence.unit = PresenceSchedule::Unit::Cycles;
  }
  if (EqualsIgnoreCase(key, "present_ms") || EqualsIgnoreCase(key, "absent_ms")) {
    recipe.presence.unit = PresenceSchedule::Unit::Milliseconds;
  }
  if (EqualsIgnoreCase(key, "answer_cycles") || EqualsIgnoreCase(key, "silent_cycles")) {
    recipe.answering.unit = PresenceSchedule::Unit::Cycles;
  }
  if (EqualsIgnoreCase(key, "answer_ms") || EqualsIgnoreCase(key, "silent_ms")) {
    recipe.answering.unit = PresenceSchedule::Unit::Milliseconds;
  }
  return true;
}

void Make(const DeviceRecipe& recipe, SimPort& port) {
  for (std::int32_t copy = 0; copy < recipe.count; ++copy) {
    SimDevice& device =
        recipe.thermometer
            ? port.AddThermometer(
                  recipe.vendor_id, recipe.product_id, recipe.interfaces,
                  SampleSource(recipe.samples, recipe.seed + static_cast<std::uint32_t>(copy)))
            : port.AddDevice(recipe.vendor_id, recipe.product_id, recipe.interfaces);
    device.silent = recipe.silent;
    device.io_fault = recipe.io_fault;
    device.presence = recipe.presence;
    device.answering = recipe.answering;
    for (SimInterface& interface : device.interfaces) {
      interface.input_length = recipe.input_length;
      interface.output_length = recipe.output_length;
      interface.faults = recipe.interface_faults;
    }
  }
}

}  // namespace

bool LoadScenario(std::string_view text, SimPort& port) {
  bool understood = true;
  bool in_device = false;
  DeviceRecipe recipe;
  const auto finish = [&] {
    if (in_device) Make(recipe, port);
    in_device = false;
  };
  ForEachIniLine(
      text,
      [&](std::string_view section) {
        finish();
        if (EqualsIgnoreCase(section, "device")) {
          recipe = DeviceRecipe{};
          in_device = true;
        } else {
          understood = false;
        }
      },
      [&](std::string_view key, std::string_view value) {
        understood = in_device && ApplyKey(key, value, recipe) && understood;
      });
  finish();
  return understood;
}

void LoadDefaultScenario(SimPort& port) { port.AddThermometer(kSampleVendorId, kSampleProductId); }

}  // namespace zelk::sim
