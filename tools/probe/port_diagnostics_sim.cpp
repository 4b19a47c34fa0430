// The probe over the simulated port: the devices come from the scenario file
// named by ZELKHID_SIM_SCENARIO (a built-in thermometer when it is unset).
// zelk::PlatformPort comes from the simulated library's port file.
#include <cstdlib>
#include <string>

#include "tools/probe/port_diagnostics.h"
#include "transport/sim/scenario.h"

namespace probe {

namespace {
std::string g_description;
}  // namespace

const char* PortDescription() {
  const char* scenario = std::getenv(zelk::sim::kScenarioVariable);
  g_description = std::string("simulated, ") + (scenario != nullptr && scenario[0] != '\0'
                                                    ? std::string("scenario ") + scenario
                                                    : std::string("built-in thermometer (") +
                                                          zelk::sim::kScenarioVariable + " unset)");
  return g_description.c_str();
}

const char* PortOptionsHelp() {
  return "\nThis build uses the simulated HID port: the environment variable\n"
         "ZELKHID_SIM_SCENARIO names the scenario file (unset: one good thermometer).\n";
}

bool HasPortOption(std::string_view) { return false; }

void SetPortOption(std::string_view, std::string_view) {}

OpenFailure ExplainOpenFailure(const char*) {
  OpenFailure failure;
  failure.reason = "the simulated port refused it (an open fault of the scenario, or absent)";
  return failure;
}

std::string DescribeAccess(const char*) { return {}; }

std::string PermissionAdvice(const std::vector<std::string>&) { return {}; }

}  // namespace probe
