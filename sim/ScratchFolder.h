// ScratchFolder: a private folder NAME-XXXXXX (mode 0700) under $TMPDIR, or
// /tmp where that is unset or unusable, removed with everything in it when
// the object goes, unless keep() was called.
//
// Thread-safety: none; one owner.
#pragma once

#include <string>

namespace velmora::sim {

class ScratchFolder {
 public:
  // Throws std::system_error when the folder cannot be made.
  explicit ScratchFolder(const std::string& name);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }
  // Leaves the folder in place at destruction (it holds something the user
  // still needs).
  void keep() { keep_ = true; }

 private:
  std::string path_;
  bool keep_ = false;
};

}  // namespace velmora::sim
