// Loading a shared library by file name and finding its exports by name.
#pragma once

// An opaque reference to a loaded library; null when none is held.
using LibraryHandle = void*;

// The device library's file name, without a directory, so that the platform's
// library search decides which file is loaded (the program's own directory
// comes first on both platforms).
extern const char* const kDeviceLibraryFile;

// Null when the library cannot be found or loaded.
LibraryHandle load_library(const char* file_name);
// Null when the library exports no such name.
void* find_library_export(LibraryHandle library, const char* name);
void release_library(LibraryHandle library);
