// The operating-system calls that the transport library makes, as one thin
// interface. Each operation maps to one platform call (named beside it for
// Windows); every step, order, result and side effect of discovery, opening
// and transfer lives in the library core above this interface.
#pragma once

#include <cstdint>

namespace zelk {

using PortHandle = std::intptr_t;  // an open HID interface (CreateFileA)
inline constexpr PortHandle kInvalidHandle = -1;

using PortEvent = std::intptr_t;  // a manual-reset event (CreateEventA); 0 = none
inline constexpr PortEvent kNoEvent = 0;

using PortPreparsed = std::intptr_t;  // HID preparsed data; 0 = none
using PortDeviceSet = std::intptr_t;  // a set of present HID interfaces; 0 = none
using PortDevNode = std::uint32_t;    // a device node (DEVINST)

struct HidAttributes {  // HIDD_ATTRIBUTES
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::uint16_t version_number = 0;
};

struct HidCaps {  // the fields of HIDP_CAPS that the library uses
  std::uint16_t usage = 0;
  std::uint16_t usage_page = 0;
  std::uint16_t input_report_byte_length = 0;
  std::uint16_t output_report_byte_length = 0;
};

// One overlapped operation: its event, plus room for the platform's own
// state of the pending operation (a Win32 OVERLAPPED lives in os_state).
// "Clearing" it zeroes both.
struct PortOverlapped {
  alignas(8) unsigned char os_state[48] = {};
  PortEvent event = kNoEvent;
};

enum class IoStart {
  Completed,  // finished at once
  Pending,    // under way (ERROR_IO_PENDING); wait on the event
  Failed,     // failed with any other error
};

enum class WaitResult {
  Signalled,  // WAIT_OBJECT_0
  TimedOut,   // WAIT_TIMEOUT
  Failed,     // WAIT_FAILED, WAIT_ABANDONED or anything else
};

class HidPort {
 public:
  virtual ~HidPort() = default;

  // --- Discovery (SetupAPI, configuration manager)
  // SetupDiGetClassDevsA(HID class, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE); 0 when no set.
  virtual PortDeviceSet GetPresentInterfaces() = 0;
  // SetupDiEnumDeviceInterfaces: false past the last interface.
  virtual bool EnumInterface(PortDeviceSet set, std::uint32_t index) = 0;
  // SetupDiGetDeviceInterfaceDetailA without a buffer: the size it asks for.
  virtual std::uint32_t InterfaceDetailSize(PortDeviceSet set, std::uint32_t index) = 0;
  // The detail buffer's allocation; null when it fails.
  virtual void* AllocateDetail(std::uint32_t size) = 0;
  virtual void FreeDetail(void* detail) = 0;
  // SetupDiGetDeviceInterfaceDetailA with the buffer: on success *path points
  // at the NUL-terminated device path inside the buffer and *node is the
  // interface's device node.
  virtual bool ReadInterfaceDetail(PortDeviceSet set, std::uint32_t index, void* detail,
                                   std::uint32_t size, const char** path, PortDevNode* node) = 0;
  // CM_Get_Parent(flags 0).
  virtual bool GetParent(PortDevNode node, PortDevNode* parent) = 0;
  // SetupDiDestroyDeviceInfoList.
  virtual void DestroyInterfaceSet(PortDeviceSet set) = 0;

  // --- Opening an interface (CreateFileA, HID support library)
  // CreateFileA(path, read | write, share read | write, OPEN_EXISTING,
  // FILE_FLAG_OVERLAPPED when overlapped); kInvalidHandle on failure.
  virtual PortHandle Open(const char* path, bool overlapped) = 0;
  virtual void Close(PortHandle handle) = 0;                              // CloseHandle
  virtual bool GetAttributes(PortHandle handle, HidAttributes* out) = 0;  // HidD_GetAttributes
  virtual bool GetPreparsedData(PortHandle handle,
                                PortPreparsed* out) = 0;  // HidD_GetPreparsedData
  virtual bool GetCaps(PortPreparsed preparsed,
                       HidCaps* out) = 0;  // HidP_GetCaps == HIDP_STATUS_SUCCESS
  virtual void FreePreparsedData(PortPreparsed preparsed) = 0;  // HidD_FreePreparsedData

  // --- Events (CreateEventA manual reset, non-signalled; CloseHandle; ResetEvent)
  virtual PortEvent CreateEvent() = 0;  // kNoEvent on failure
  virtual void CloseEvent(PortEvent event) = 0;
  virtual void ResetEvent(PortEvent event) = 0;

  // --- One report (WriteFile / ReadFile of exactly `length` bytes)
  // Blocking form: true when the call reports success.
  virtual bool Write(PortHandle handle, const std::uint8_t* report, std::uint32_t length) = 0;
  virtual bool Read(PortHandle handle, std::uint8_t* report, std::uint32_t length) = 0;
  // Overlapped form, with the operation's state in *overlapped.
  virtual IoStart WriteOverlapped(PortHandle handle, const std::uint8_t* report,
                                  std::uint32_t length, PortOverlapped* overlapped) = 0;
  virtual IoStart ReadOverlapped(PortHandle handle, std::uint8_t* report, std::uint32_t length,
                                 PortOverlapped* overlapped) = 0;
  // WaitForSingleObject(event, timeout_ms).
  virtual WaitResult Wait(PortEvent event, std::uint32_t timeout_ms) = 0;
  // GetOverlappedResult without waiting: false when the operation failed or
  // is not complete; *transferred is the byte count it moved.
  virtual bool GetOverlappedResult(PortHandle handle, PortOverlapped* overlapped,
                                   std::uint32_t* transferred) = 0;
  virtual void CancelIo(PortHandle handle) = 0;  // CancelIo
  virtual void Sleep(std::uint32_t ms) = 0;      // Sleep

  // --- Configuration
  // GetPrivateProfileIntA(section, key, default_value, path).
  virtual int ReadProfileInt(const char* section, const char* key, int default_value,
                             const char* path) = 0;
  // GetModuleFileNameA(host executable): the path's length, 0 on failure;
  // the text is cut to fit `size` with its NUL.
  virtual std::uint32_t HostProgramPath(char* buffer, std::uint32_t size) = 0;
};

}  // namespace zelk
