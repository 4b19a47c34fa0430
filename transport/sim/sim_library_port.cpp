// The port of the simulated library: a simulated HID port with real time and
// the host's real files, its devices read from the scenario file named by
// ZELKHID_SIM_SCENARIO (a built-in thermometer when the variable is unset).
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "transport/library_state.h"
#include "transport/sim/scenario.h"
#include "transport/sim/sim_port.h"

namespace zelk {

namespace {

sim::SimPort* MakeScenarioPort() {
  sim::SimPort::Options options;
  options.real_time = true;
  options.real_files = true;
  auto* port = new sim::SimPort(options);
  const char* scenario_path = std::getenv(sim::kScenarioVariable);
  if (scenario_path == nullptr || scenario_path[0] == '\0') {
    sim::LoadDefaultScenario(*port);
    return port;
  }
  // An unreadable scenario gives no devices, so the mistake shows as
  // "no device" rather than as a working thermometer.
  std::ifstream file(scenario_path, std::ios::binary);
  if (file) {
    std::ostringstream text;
    text << file.rdbuf();
    sim::LoadScenario(text.str(), *port);
  }
  return port;
}

}  // namespace

HidPort& PlatformPort() {
  // Made on the first call into the library and kept until the process ends.
  static sim::SimPort* port = nullptr;
  if (port == nullptr) port = MakeScenarioPort();
  return *port;
}

}  // namespace zelk
