// Device libraries that the binding tests load in place of the real one.
// One source builds them all: each FAKE_HAS_<name> defined exports that
// function; with none defined, the library exports none of the eight names.
// Every library also exports fake_state, which the tests look up to steer
// and observe it. The functions record their calls.
#pragma once

#include <cstdint>

struct FakeDeviceState {
  int calls;        // calls of any of the eight functions
  int last_device;  // HID_SetCurrentDevice's arguments
  int last_timeout_ms;
  const std::uint8_t* last_buffer;  // the buffer that the last call was given
  int last_length;                  // the length that HID_ReadData or HID_WriteData got
  int result;                       // what every function with a result returns
  bool throw_int_on_read;           // HID_ReadData throws an int instead
};

using FakeStateFn = FakeDeviceState* (*)();
