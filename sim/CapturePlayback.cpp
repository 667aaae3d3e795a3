#include "sim/CapturePlayback.h"

#include <cerrno>
#include <system_error>

namespace velmora::sim {

CapturePlayback::CapturePlayback(const std::string& path) : path_(path) {
  file_ = std::fopen(path.c_str(), "rb");
  if (file_ == nullptr) throw std::system_error(errno, std::generic_category(), "cannot open capture " + path);
}

CapturePlayback::~CapturePlayback() { std::fclose(file_); }

bool CapturePlayback::tick(TickBuffer& out) {
  uint8_t chunk[kBytesPerTick];
  size_t n = std::fread(chunk, 1, sizeof chunk, file_);
  if (n == 0) {
    if (std::ferror(file_)) throw std::system_error(errno, std::generic_category(), "cannot read capture " + path_);
    return false;
  }
  out.bytes.insert(out.bytes.end(), chunk, chunk + n);
  return true;
}

}  // namespace velmora::sim
