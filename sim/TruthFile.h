// Writes ground truth (GroundTruth.h) to a file as JSON lines, one object per
// line, in the order the events complete in the stream:
//
//   {"type":"stream","mode":"mixed","seed":7,"rate":512,"lf":0.04,"hf":0.03,"period":30}
//   {"type":"period","mode":"eeg","start":0,"time":0.000000}
//   {"type":"blink","start":1200,"end":1262,"time":2.343750,"polarity":"positive","strength":1530,"code":95}
//   {"type":"beat","sample":5678,"time":11.089844,"rr_ms":857.421875}
//
// "time" is the sample's index / 512 in seconds (for a blink, of its start);
// "polarity" names the first lobe; "rr_ms" is missing on a period's first
// beat.  Each line is flushed as it is written, so a reader following the
// file sees every event whose samples have been sent.
//
// Thread-safety: none; one thread writes.
#pragma once

#include <cstdio>
#include <string>

#include "sim/GroundTruth.h"
#include "sim/SignalOptions.h"

namespace velmora::sim {

class TruthFile {
 public:
  // Creates (truncates) `path` and writes the "stream" line.  Throws
  // std::system_error when the file cannot be created.
  TruthFile(const std::string& path, const SignalOptions& options);
  ~TruthFile();
  TruthFile(const TruthFile&) = delete;
  TruthFile& operator=(const TruthFile&) = delete;

  void write(const TruthEvent& event);
  // Pushes the written lines to the file.  Throws std::system_error when a
  // write failed (a full disk, say), so that no truth is lost unnoticed.
  void flush();

  static std::string jsonLine(const TruthEvent& event);

 private:
  std::FILE* file_ = nullptr;
  std::string path_;
};

}  // namespace velmora::sim
