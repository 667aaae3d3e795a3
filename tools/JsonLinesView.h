// JsonLinesView: the machine-readable view of a streaming session.  Every
// delivered data dictionary becomes one JSON object on its own line of
// stdout: "t" (seconds since the epoch at delivery, microsecond precision)
// first, then the dictionary's keys in order, "raw" as an array of integers.
// Status messages go to stderr (ErrorStream) prefixed with the command's
// name, so that stdout stays parseable.  Each line is handed to the Output as it comes,
// for readers that follow the stream live; a reader that stalls holds up
// only the Output's thread.
//
// A write that fails (EPIPE when the reader went away, with SIGPIPE ignored;
// ENOSPC on a full disk, ...) ends the output; the session then stops.
//
// Threads: main thread only (see StreamView).
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "Output.h"
#include "StreamView.h"

namespace velmora::tool {

class JsonLinesView : public StreamView {
 public:
  JsonLinesView(std::string command, Output& out);

  void connected(const std::string& name) override;
  void data(double t, const Dictionary& data, const StreamStats& stats) override;
  void message(const std::string& text, Tone tone) override;
  void tick(const StreamStats&) override {}
  void finish(const StreamStats&) override;
  int outputError() const override { return out_.error(); }

  // Writes one object as a line; false once the output has ended.
  bool writeLine(const nlohmann::ordered_json& object);

  // The line's object for one delivery.
  static nlohmann::ordered_json toJson(double t, const Dictionary& data);
  // Adds the dictionary's keys to `line` in order: integers, doubles, and
  // arrays of integers ("raw").
  static void addValues(nlohmann::ordered_json& line, const Dictionary& data);

 private:
  std::string command_;
  Output& out_;
};

}  // namespace velmora::tool
