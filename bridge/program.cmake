# The bridge program, pyrel2. Included by bridge/CMakeLists.txt once an entry
# file exists for the platform.
if(WIN32)
  # Graphical subsystem: WinMain, and no console window of its own.
  add_executable(pyrel2 WIN32 ${CMAKE_CURRENT_SOURCE_DIR}/entry_win32.cpp)
else()
  add_executable(pyrel2 ${CMAKE_CURRENT_SOURCE_DIR}/entry_posix.cpp)
  # The device library is loaded by bare name: look beside the program first,
  # as Windows does.
  set_target_properties(pyrel2 PROPERTIES BUILD_RPATH "$ORIGIN" INSTALL_RPATH "$ORIGIN")
  # DT_RPATH rather than DT_RUNPATH: it applies to every load of the process,
  # also when a sanitizer's runtime makes the dlopen call on the program's
  # behalf.
  target_link_options(pyrel2 PRIVATE -Wl,--disable-new-dtags)
endif()
target_link_libraries(pyrel2 PRIVATE bridge_core)
pyrel_warnings(pyrel2)
