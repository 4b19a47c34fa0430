// Command blocks and report transfer: a byte run cut into output reports or
// gathered from input reports of one interface, blocking or overlapped, and
// the five commands built on them.
#pragma once

#include <cstdint>

#include "transport/library_state.h"

namespace zelk {

enum class CommandCode : std::uint8_t {
  Reset = 0xF1,
  Erase = 0xF2,
  ReadData = 0xF3,
  WriteData = 0xF4,
  GetStatus = 0xF5,
};

inline constexpr int kCommandBlockSize = 8;
inline constexpr int kStatusSize = 64;
// The pause after an overlapped wait timed out, before both interfaces close.
inline constexpr std::uint32_t kTimeoutPauseMs = 800;

// Sends the run of n bytes in output reports of `record`; 1 when all went out.
int WriteReports(HidInterface& record, const std::uint8_t* source, std::int32_t n);
// Gathers n bytes from input reports of `record`; 1 when all arrived.
int ReadReports(HidInterface& record, std::uint8_t* destination, std::int32_t n);

// The bodies of the five command exports.
int DeviceReset();
int DeviceErase();
int ReadData(std::uint8_t* buffer, std::int32_t length);
int WriteData(const std::uint8_t* buffer, std::int32_t length);
int GetStatus(std::uint8_t* buffer);

}  // namespace zelk
