// The Win32 port: each operation is the Windows call named beside it in
// hid_port.h, for the 32-bit platform.
#include <windows.h>
// clang-format off
#include <setupapi.h>
#include <cfgmgr32.h>
extern "C" {  // MinGW's HID headers declare C functions without a C linkage block
#include <hidsdi.h>
#include <hidpi.h>
}
// clang-format on

#undef CreateEvent  // windows.h maps it to CreateEventA; the port's method has the plain name

#include <new>

#include "transport/hid_port.h"
#include "transport/host_files.h"
#include "transport/library_state.h"

namespace zelk {

namespace {

// The fixed part of SP_DEVICE_INTERFACE_DETAIL_DATA_A: its DWORD and one
// CHAR on the 32-bit platform.
#ifdef _WIN64
constexpr DWORD kDetailFixedSize = 8;
#else
constexpr DWORD kDetailFixedSize = 5;
#endif

#ifndef _WIN64
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28 && sizeof(SP_DEVINFO_DATA) == 28,
              "record sizes of the 32-bit platform");
#endif

HANDLE AsHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
std::intptr_t FromHandle(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

OVERLAPPED* AsOverlapped(PortOverlapped* overlapped) {
  static_assert(sizeof(OVERLAPPED) <= sizeof(PortOverlapped::os_state));
  auto* os = reinterpret_cast<OVERLAPPED*>(overlapped->os_state);
  os->hEvent = AsHandle(overlapped->event);
  return os;
}

IoStart StartResult(BOOL ok) {
  if (ok) return IoStart::Completed;
  return GetLastError() == ERROR_IO_PENDING ? IoStart::Pending : IoStart::Failed;
}

// The detail calls take the interface that EnumInterface found last: the
// library asks for the detail of each member right after enumerating it.
class Win32Port final : public HidPort {
 public:
  PortDeviceSet GetPresentInterfaces() override {
    HidD_GetHidGuid(&hid_guid_);
    HDEVINFO set =
        SetupDiGetClassDevsA(&hid_guid_, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    return set == INVALID_HANDLE_VALUE ? 0 : FromHandle(set);
  }

  bool EnumInterface(PortDeviceSet set, std::uint32_t index) override {
    interface_data_ = SP_DEVICE_INTERFACE_DATA{};
    interface_data_.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    return SetupDiEnumDeviceInterfaces(AsHandle(set), nullptr, &hid_guid_, index,
                                       &interface_data_) != FALSE;
  }

  std::uint32_t InterfaceDetailSize(PortDeviceSet set, std::uint32_t) override {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailA(AsHandle(set), &interface_data_, nullptr, 0, &size, nullptr);
    return size;
  }

  void* AllocateDetail(std::uint32_t size) override {
    // Room for at least the fixed part, so that a bogus size cannot make the
    // cbSize store run past the buffer.
    return new (std::nothrow) unsigned char[size < 8 ? 8 : size];
  }

  void FreeDetail(void* detail) override { delete[] static_cast<unsigned char*>(detail); }

  bool ReadInterfaceDetail(PortDeviceSet set, std::uint32_t, void* detail, std::uint32_t size,
                           const char** path, PortDevNode* node) override {
    auto* data = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail);
    data->cbSize = kDetailFixedSize;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(SP_DEVINFO_DATA);
    if (!SetupDiGetDeviceInterfaceDetailA(AsHandle(set), &interface_data_, data, size, nullptr,
                                          &info)) {
      return false;
    }
    *path = data->DevicePath;
    *node = info.DevInst;
    return true;
  }

  bool GetParent(PortDevNode node, PortDevNode* parent) override {
    DEVINST result = 0;
    if (CM_Get_Parent(&result, node, 0) != CR_SUCCESS) return false;
    *parent = result;
    return true;
  }

  void DestroyInterfaceSet(PortDeviceSet set) override {
    SetupDiDestroyDeviceInfoList(AsHandle(set));
  }

  PortHandle Open(const char* path, bool overlapped) override {
    HANDLE handle =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    return handle == INVALID_HANDLE_VALUE ? kInvalidHandle : FromHandle(handle);
  }

  void Close(PortHandle handle) override { CloseHandle(AsHandle(handle)); }

  bool GetAttributes(PortHandle handle, HidAttributes* out) override {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(attributes);
    if (!HidD_GetAttributes(AsHandle(handle), &attributes)) return false;
    *out = HidAttributes{attributes.VendorID, attributes.ProductID, attributes.VersionNumber};
    return true;
  }

  bool GetPreparsedData(PortHandle handle, PortPreparsed* out) override {
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(AsHandle(handle), &preparsed)) return false;
    *out = reinterpret_cast<PortPreparsed>(preparsed);
    return true;
  }

  bool GetCaps(PortPreparsed preparsed, HidCaps* out) override {
    HIDP_CAPS caps{};
    if (HidP_GetCaps(reinterpret_cast<PHIDP_PREPARSED_DATA>(preparsed), &caps) !=
        HIDP_STATUS_SUCCESS) {
      return false;
    }
    *out = HidCaps{caps.Usage, caps.UsagePage, caps.InputReportByteLength,
                   caps.OutputReportByteLength};
    return true;
  }

  void FreePreparsedData(PortPreparsed preparsed) override {
    HidD_FreePreparsedData(reinterpret_cast<PHIDP_PREPARSED_DATA>(preparsed));
  }

  PortEvent CreateEvent() override {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event == nullptr ? kNoEvent : FromHandle(event);
  }

  void CloseEvent(PortEvent event) override { CloseHandle(AsHandle(event)); }
  void ResetEvent(PortEvent event) override { ::ResetEvent(AsHandle(event)); }

  bool Write(PortHandle handle, const std::uint8_t* report, std::uint32_t length) override {
    DWORD written = 0;
    return WriteFile(AsHandle(handle), report, length, &written, nullptr) != FALSE;
  }

  bool Read(PortHandle handle, std::uint8_t* report, std::uint32_t length) override {
    DWORD read = 0;
    return ReadFile(AsHandle(handle), report, length, &read, nullptr) != FALSE;
  }

  IoStart WriteOverlapped(PortHandle handle, const std::uint8_t* report, std::uint32_t length,
                          PortOverlapped* overlapped) override {
    return StartResult(
        WriteFile(AsHandle(handle), report, length, nullptr, AsOverlapped(overlapped)));
  }

  IoStart ReadOverlapped(PortHandle handle, std::uint8_t* report, std::uint32_t length,
                         PortOverlapped* overlapped) override {
    return StartResult(
        ReadFile(AsHandle(handle), report, length, nullptr, AsOverlapped(overlapped)));
  }

  WaitResult Wait(PortEvent event, std::uint32_t timeout_ms) override {
    switch (WaitForSingleObject(AsHandle(event), timeout_ms)) {
      case WAIT_OBJECT_0:
        return WaitResult::Signalled;
      case WAIT_TIMEOUT:
        return WaitResult::TimedOut;
      default:
        return WaitResult::Failed;
    }
  }

  bool GetOverlappedResult(PortHandle handle, PortOverlapped* overlapped,
                           std::uint32_t* transferred) override {
    DWORD count = 0;
    const BOOL ok =
        ::GetOverlappedResult(AsHandle(handle), AsOverlapped(overlapped), &count, FALSE);
    *transferred = count;
    return ok != FALSE;
  }

  void CancelIo(PortHandle handle) override { ::CancelIo(AsHandle(handle)); }
  void Sleep(std::uint32_t ms) override { ::Sleep(ms); }

  int ReadProfileInt(const char* section, const char* key, int default_value,
                     const char* path) override {
    return ReadProfileIntFromFile(section, key, default_value, path);
  }

  std::uint32_t HostProgramPath(char* buffer, std::uint32_t size) override {
    return HostProgramPathOfProcess(buffer, size);
  }

 private:
  GUID hid_guid_{};
  SP_DEVICE_INTERFACE_DATA interface_data_{};
};

Win32Port g_port;

}  // namespace

HidPort& PlatformPort() { return g_port; }

}  // namespace zelk
