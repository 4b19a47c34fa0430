#include <dirent.h>

#include <cstring>

#include "open_resources.h"

// The entries of /proc/self/fd, without "." and "..", and without the
// descriptor of the listing itself.
int open_resource_count() {
  DIR* listing = opendir("/proc/self/fd");
  if (listing == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) ++count;
  }
  closedir(listing);
  return count - 1;
}
