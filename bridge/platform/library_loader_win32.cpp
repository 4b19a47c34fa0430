#include <windows.h>

#include "platform/library_loader.h"

const char* const kDeviceLibraryFile = "ZelkHID.dll";

LibraryHandle load_library(const char* file_name) {
  return reinterpret_cast<LibraryHandle>(LoadLibraryA(file_name));
}

void* find_library_export(LibraryHandle library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void release_library(LibraryHandle library) { FreeLibrary(static_cast<HMODULE>(library)); }
