// The Windows libraries as a host sees them, under Wine: the export table,
// binding by name, and the real library with no HID device present.
#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>

namespace {

const std::set<std::string> kExports = {
    "HID_DeviceInitialize", "HID_SetCurrentDevice", "HID_DeviceClose", "HID_ReadData",
    "HID_WriteData",        "HID_DeviceReset",      "HID_DeviceErase", "HID_GetStatus"};

// The names in a loaded module's export directory.
std::set<std::string> ExportedNames(HMODULE module, DWORD* function_count) {
  const auto* base = reinterpret_cast<const BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  const auto* directory =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  const auto* names = reinterpret_cast<const DWORD*>(base + directory->AddressOfNames);
  std::set<std::string> result;
  for (DWORD i = 0; i < directory->NumberOfNames; ++i) {
    result.insert(reinterpret_cast<const char*>(base + names[i]));
  }
  *function_count = directory->NumberOfFunctions;
  return result;
}

template <typename Fn>
Fn Bind(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

TEST(Win32Library, ExportsExactlyTheEightUndecoratedNames) {
  // The real library by bare name (found beside this program, as the bridge
  // finds it), the simulated one by path.
  for (const char* library : {"ZelkHID.dll", ZELK_SIM_LIBRARY}) {
    SCOPED_TRACE(library);
    HMODULE module = LoadLibraryA(library);
    ASSERT_NE(module, nullptr);
    DWORD functions = 0;
    EXPECT_EQ(ExportedNames(module, &functions), kExports);
    EXPECT_EQ(functions, 8u);
    for (const std::string& name : kExports) {
      EXPECT_NE(GetProcAddress(module, name.c_str()), nullptr) << name;
    }
    FreeLibrary(module);
  }
}

TEST(Win32Library, WithoutADeviceEveryCallFails) {
  HMODULE module = LoadLibraryA("ZelkHID.dll");
  ASSERT_NE(module, nullptr);
  const auto initialize = Bind<int(__cdecl*)()>(module, "HID_DeviceInitialize");
  const auto select = Bind<int(__cdecl*)(int, int)>(module, "HID_SetCurrentDevice");
  const auto close = Bind<void(__cdecl*)()>(module, "HID_DeviceClose");
  const auto read = Bind<int(__cdecl*)(unsigned char*, int)>(module, "HID_ReadData");
  const auto write = Bind<int(__cdecl*)(const unsigned char*, int)>(module, "HID_WriteData");
  const auto reset = Bind<int(__cdecl*)()>(module, "HID_DeviceReset");
  const auto erase = Bind<int(__cdecl*)()>(module, "HID_DeviceErase");
  const auto status = Bind<int(__cdecl*)(unsigned char*)>(module, "HID_GetStatus");

  EXPECT_EQ(initialize(), 0);
  EXPECT_EQ(select(1, 1000), 0);
  unsigned char buffer[64] = {};
  for (const int timeout : {1000, 0}) {
    select(1, timeout);
    EXPECT_EQ(read(buffer, 64), 0);
    EXPECT_EQ(write(buffer, 64), 0);
    EXPECT_EQ(reset(), 0);
    EXPECT_EQ(erase(), 0);
    EXPECT_EQ(status(buffer), 0);
  }
  close();
  FreeLibrary(module);
}

}  // namespace
