// Test support: a real pseudo-terminal pair and a scratch directory, both
// removed when they go out of scope, and what tests do with files in it.
#pragma once

#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace velmora::test {

class TempPty {
 public:
  TempPty() {
    char name[256];
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    path_ = name;
  }
  ~TempPty() { close(); }
  TempPty(const TempPty&) = delete;
  TempPty& operator=(const TempPty&) = delete;

  // The slave's path, e.g. /dev/pts/5.
  const std::string& path() const { return path_; }
  int slave() const { return slave_; }
  // Closes the master end: the slave hangs up, as an unplugged device.
  void closeMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  // Closes both ends: the slave's device node vanishes.
  void close() {
    if (slave_ >= 0) ::close(slave_);
    closeMaster();
    slave_ = -1;
  }

 protected:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Writes beyond `bytes` fail with EFBIG, as on a full disk, while it lives;
// children started meanwhile inherit the limit and SIGXFSZ ignored.
struct FileSizeLimit {
  explicit FileSizeLimit(rlim_t bytes) : signal(std::signal(SIGXFSZ, SIG_IGN)) {
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit small{bytes, saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, signal);
  }
  void (*signal)(int);
  rlimit saved{};
};

}  // namespace velmora::test
