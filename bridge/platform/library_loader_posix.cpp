#include <dlfcn.h>

#include "platform/library_loader.h"

// The program carries the run path $ORIGIN, so a bare name finds the library
// beside it before the system's folders.
const char* const kDeviceLibraryFile = "libZelkHID.so";

LibraryHandle load_library(const char* file_name) { return dlopen(file_name, RTLD_NOW); }

void* find_library_export(LibraryHandle library, const char* name) { return dlsym(library, name); }

void release_library(LibraryHandle library) { dlclose(library); }
