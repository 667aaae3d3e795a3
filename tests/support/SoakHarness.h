// Test and bench support for the leak and growth checks: the process's
// resident memory, descriptors, threads and mappings as /proc shows them.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <fstream>
#include <string>

namespace velmora::test {

// Resident set size in KiB (/proc/self/statm, second field).
inline size_t residentKiB() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE)) / 1024;
}

// Entries of a /proc directory, without "." and "..".
inline size_t countEntries(const char* directory) {
  DIR* d = ::opendir(directory);
  size_t n = 0;
  while (d != nullptr && ::readdir(d) != nullptr) ++n;
  if (d != nullptr) ::closedir(d);
  return n >= 2 ? n - 2 : 0;
}
inline size_t openDescriptors() { return countEntries("/proc/self/fd") - 1; }  // less opendir's own
inline size_t liveThreads() { return countEntries("/proc/self/task"); }
inline size_t mappings() {
  std::ifstream maps("/proc/self/maps");
  size_t n = 0;
  for (std::string line; std::getline(maps, line);) ++n;
  return n;
}

}  // namespace velmora::test
