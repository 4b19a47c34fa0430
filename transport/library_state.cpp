#include "transport/library_state.h"

namespace zelk {

namespace {

// Initialised before any code runs, so the state holds its initial values
// from the moment the library is loaded.
constinit LibraryState g_state;

}  // namespace

LibraryState& State() {
  if (g_state.port == nullptr) g_state.port = &PlatformPort();
  return g_state;
}

void ResetLibraryState(HidPort& port) {
  g_state.port = &port;
  g_state.overlapped_mode = 0;
  g_state.io_timeout_ms = 0;
  g_state.current_device = 0;
  for (DeviceSlot& slot : g_state.device_table) slot = DeviceSlot{};
  g_state.vendor_id = 0;
  g_state.product_id = 0;
  g_state.command_interface = HidInterface{};
  g_state.data_interface = HidInterface{};
  g_state.read_overlapped = PortOverlapped{};
  g_state.write_overlapped = PortOverlapped{};
}

}  // namespace zelk
