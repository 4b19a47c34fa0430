// The scenario of the simulated library: which devices are present, what
// they answer and which faults happen, read from INI-style text (see
// README.md in this folder).
#pragma once

#include <cstdint>
#include <string_view>

#include "transport/sim/sim_port.h"

namespace zelk::sim {

// The identifiers of the DeviceInfo.ini shipped with the library.
inline constexpr std::uint16_t kSampleVendorId = 0x1209;
inline constexpr std::uint16_t kSampleProductId = 0x0001;

// The environment variable that names the scenario file.
inline constexpr char kScenarioVariable[] = "ZELKHID_SIM_SCENARIO";

// Adds the devices of `text` to `port`; false (with the devices read so far
// added) when a line cannot be understood.
bool LoadScenario(std::string_view text, SimPort& port);

// One thermometer with the sample identifiers, giving valid samples.
void LoadDefaultScenario(SimPort& port);

}  // namespace zelk::sim
