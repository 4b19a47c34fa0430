// The library's port for test programs: an empty simulated port. Every test
// installs its own port with zelk::ResetLibraryState before it calls in.
#include "transport/library_state.h"
#include "transport/sim/sim_port.h"

namespace zelk {

HidPort& PlatformPort() {
  static sim::SimPort* port = nullptr;
  if (port == nullptr) port = new sim::SimPort();
  return *port;
}

}  // namespace zelk
