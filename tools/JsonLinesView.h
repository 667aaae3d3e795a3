// JsonLinesView: the machine-readable view of a streaming session.  Every
// delivered data dictionary becomes one JSON object on its own line of
// stdout: "t" (seconds since the epoch at delivery, microsecond precision)
// first, then the dictionary's keys in order, "raw" as an array of integers.
// Status messages go to stderr prefixed with the command's name, so that
// stdout stays parseable.  Each line is flushed as it is written, for
// readers that follow the stream live.
//
// A write that fails (the reader closed the pipe: EPIPE, with SIGPIPE
// ignored) marks the output closed; the session then stops.
//
// Threads: main thread only (see StreamView).
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "StreamView.h"

namespace velmora::tool {

class JsonLinesView : public StreamView {
 public:
  explicit JsonLinesView(std::string command, std::FILE* out = stdout, std::FILE* messages = stderr);

  void connected(const std::string& name) override;
  void data(double t, const Dictionary& data, const StreamStats& stats) override;
  void message(const std::string& text, Tone tone) override;
  void tick(const StreamStats&) override {}
  void finish(const StreamStats&) override;
  bool outputClosed() const override { return closed_; }

  // Writes one object as a line; false (and the output marked closed) when
  // it cannot be written.
  bool writeLine(const nlohmann::ordered_json& object);

  // The line's object for one delivery.
  static nlohmann::ordered_json toJson(double t, const Dictionary& data);

 private:
  std::string command_;
  std::FILE* out_;
  std::FILE* messages_;
  bool closed_ = false;
};

}  // namespace velmora::tool
