// The port of the real Linux library: hidraw.
#include "transport/hidraw/port_linux.h"
#include "transport/library_state.h"

namespace zelk {

HidPort& PlatformPort() {
  // Never destroyed: the library's state refers to it until the process ends.
  static auto* port = new hidraw::LinuxHidPort;
  return *port;
}

}  // namespace zelk
