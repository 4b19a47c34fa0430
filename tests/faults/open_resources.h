// How many operating-system resources the process holds open: file
// descriptors on Linux, kernel handles on Windows. -1 when it cannot be told.
#pragma once

int open_resource_count();
