// Discovery: enumerating the present HID interfaces, grouping them by the USB
// device they belong to, probing each group's first two interfaces as a
// command/data pair, and selecting a paired device.
#pragma once

namespace zelk {

// Rebuilds the device table; the number of passing pairs, or -1 when a detail
// buffer cannot be allocated or read.
int EnumerateDevices();
// 1 (and the slot marked paired) when the slot's two paths open in probe mode
// as data and command interface in one of the two role orders.
int ProbePair(int slot_index);
// 1 when the slot's pair is now open as the current device.
int SelectDevice(int slot_index);
// Opens a and b to stay open, one as command and one as data interface.
int OpenPair(const char* a, const char* b);

}  // namespace zelk
