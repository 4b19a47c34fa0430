// The HID port of a gated library variant: the variant's own port (simulated
// or hidraw), wrapped so that every call marks the calling thread as inside
// the port for the allocation counter. With the library's own code marked by
// the caller, the counter can tell the library core's allocations from the
// port's.
//
// The wrapped port's source is compiled with PlatformPort renamed to
// BenchWrappedPort (see CMakeLists.txt), so it is used unchanged.
#include "transport/hid_port.h"
#include "transport/library_state.h"

// Provided by the allocation counter when the host program has one (linked in
// or preloaded); absent otherwise, and then nothing is marked.
extern "C" void bench_alloc_scope(int scope, int delta) __attribute__((weak));

namespace zelk {

HidPort& BenchWrappedPort();

namespace {

constexpr int kPortScope = 2;  // bench_alloc::kPort

class PortScope {
 public:
  PortScope() {
    if (bench_alloc_scope != nullptr) bench_alloc_scope(kPortScope, +1);
  }
  ~PortScope() {
    if (bench_alloc_scope != nullptr) bench_alloc_scope(kPortScope, -1);
  }
  PortScope(const PortScope&) = delete;
  PortScope& operator=(const PortScope&) = delete;
};

class GatedPort final : public HidPort {
 public:
  explicit GatedPort(HidPort& wrapped) : inner(wrapped) {}

  PortDeviceSet GetPresentInterfaces() override {
    PortScope scope;
    return inner.GetPresentInterfaces();
  }
  bool EnumInterface(PortDeviceSet set, std::uint32_t index) override {
    PortScope scope;
    return inner.EnumInterface(set, index);
  }
  std::uint32_t InterfaceDetailSize(PortDeviceSet set, std::uint32_t index) override {
    PortScope scope;
    return inner.InterfaceDetailSize(set, index);
  }
  void* AllocateDetail(std::uint32_t size) override {
    PortScope scope;
    return inner.AllocateDetail(size);
  }
  void FreeDetail(void* detail) override {
    PortScope scope;
    inner.FreeDetail(detail);
  }
  bool ReadInterfaceDetail(PortDeviceSet set, std::uint32_t index, void* detail, std::uint32_t size,
                           const char** path, PortDevNode* node) override {
    PortScope scope;
    return inner.ReadInterfaceDetail(set, index, detail, size, path, node);
  }
  bool GetParent(PortDevNode node, PortDevNode* parent) override {
    PortScope scope;
    return inner.GetParent(node, parent);
  }
  void DestroyInterfaceSet(PortDeviceSet set) override {
    PortScope scope;
    inner.DestroyInterfaceSet(set);
  }
  PortHandle Open(const char* path, bool overlapped) override {
    PortScope scope;
    return inner.Open(path, overlapped);
  }
  void Close(PortHandle handle) override {
    PortScope scope;
    inner.Close(handle);
  }
  bool GetAttributes(PortHandle handle, HidAttributes* out) override {
    PortScope scope;
    return inner.GetAttributes(handle, out);
  }
  bool GetPreparsedData(PortHandle handle, PortPreparsed* out) override {
    PortScope scope;
    return inner.GetPreparsedData(handle, out);
  }
  bool GetCaps(PortPreparsed preparsed, HidCaps* out) override {
    PortScope scope;
    return inner.GetCaps(preparsed, out);
  }
  void FreePreparsedData(PortPreparsed preparsed) override {
    PortScope scope;
    inner.FreePreparsedData(preparsed);
  }
  PortEvent CreateEvent() override {
    PortScope scope;
    return inner.CreateEvent();
  }
  void CloseEvent(PortEvent event) override {
    PortScope scope;
    inner.CloseEvent(event);
  }
  void ResetEvent(PortEvent event) override {
    PortScope scope;
    inner.ResetEvent(event);
  }
  bool Write(PortHandle handle, const std::uint8_t* report, std::uint32_t length) override {
    PortScope scope;
    return inner.Write(handle, report, length);
  }
  bool Read(PortHandle handle, std::uint8_t* report, std::uint32_t length) override {
    PortScope scope;
    return inner.Read(handle, report, length);
  }
  IoStart WriteOverlapped(PortHandle handle, const std::uint8_t* report, std::uint32_t length,
                          PortOverlapped* overlapped) override {
    PortScope scope;
    return inner.WriteOverlapped(handle, report, length, overlapped);
  }
  IoStart ReadOverlapped(PortHandle handle, std::uint8_t* report, std::uint32_t length,
                         PortOverlapped* overlapped) override {
    PortScope scope;
    return inner.ReadOverlapped(handle, report, length, overlapped);
  }
  WaitResult Wait(PortEvent event, std::uint32_t timeout_ms) override {
    PortScope scope;
    return inner.Wait(event, timeout_ms);
  }
  bool GetOverlappedResult(PortHandle handle, PortOverlapped* overlapped,
                           std::uint32_t* transferred) override {
    PortScope scope;
    return inner.GetOverlappedResult(handle, overlapped, transferred);
  }
  void CancelIo(PortHandle handle) override {
    PortScope scope;
    inner.CancelIo(handle);
  }
  void Sleep(std::uint32_t ms) override {
    PortScope scope;
    inner.Sleep(ms);
  }
  int ReadProfileInt(const char* section, const char* key, int default_value,
                     const char* path) override {
    PortScope scope;
    return inner.ReadProfileInt(section, key, default_value, path);
  }
  std::uint32_t HostProgramPath(char* buffer, std::uint32_t size) override {
    PortScope scope;
    return inner.HostProgramPath(buffer, size);
  }

 private:
  HidPort& inner;
};

}  // namespace

HidPort& PlatformPort() {
  // Made on the first call into the library, as the wrapped port is, and
  // kept until the process ends.
  static GatedPort* port = nullptr;
  if (port == nullptr) {
    PortScope scope;
    port = new GatedPort(BenchWrappedPort());
  }
  return *port;
}

}  // namespace zelk
