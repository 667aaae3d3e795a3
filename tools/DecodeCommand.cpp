// `velmora decode [FILE]`: decodes a captured headset byte stream.
//
// The bytes (from FILE, or stdin when FILE is absent or "-") are cut into
// packets by PacketStream (a fresh accessory object's framer, decoder and
// analysers, exactly as if the bytes had arrived from the headset), and the
// values of each packet that wrote any are written to stdout as one JSON
// object per line: each data-dictionary key the packet set (the last value
// when it set one twice), and "raw" with the packet's raw samples in order.
// Packets that fail their checksum write nothing.  The input is streamed in
// blocks, so captures of any size work.
//
// stderr gets one summary line at the end: the packets decoded, the packets
// dropped for a wrong checksum and the bytes skipped (outside any packet:
// noise, broken sync pairs, a packet cut off at the end).  The library's own
// log lines (one per checksum error, one per signal-quality row, ...) go
// there only with --verbose: a noisy capture would flood the terminal.
//
// Exit status: 0 whatever the bytes (also when the reader of stdout goes
// away); 1 stdout cannot be written; 2 the input cannot be read.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "Command.h"
#include "CommandSupport.h"
#include "JsonLinesView.h"
#include "LogBuffer.h"
#include "Output.h"
#include "PacketStream.h"
#include "Velmora.h"

namespace velmora::tool {
namespace {

constexpr const char* kCommand = "velmora decode";

class PacketPrinter {
 public:
  explicit PacketPrinter(Output& output) : output_(output) {}

  // Frames `bytes` and prints the values of each packet.  False once stdout
  // has ended.
  bool feed(std::span<const uint8_t> bytes) {
    packets_.feed(bytes, [this](Dictionary&& values) {
      if (open_) open_ = print(values);
    });
    return open_;
  }

  bool flush() {
    const bool ok = output_.write(std::move(out_));
    out_.clear();
    return ok;
  }

  // Packets framed (good and bad) and the bytes they took.
  uint64_t packets() const { return packets_.packets(); }
  uint64_t framedBytes() const { return packets_.framedBytes(); }
  uint64_t checksumFailures() const { return packets_.framerCounts().checksumFailures; }

 private:
  bool print(const Dictionary& data) {
    nlohmann::ordered_json line = nlohmann::ordered_json::object();
    JsonLinesView::addValues(line, data);
    out_ += line.dump();
    out_ += '\n';
    return out_.size() < kFlushAt || flush();
  }

  static constexpr size_t kFlushAt = 1 << 16;
  Output& output_;
  PacketStream packets_;
  bool open_ = true;
  std::string out_;
};

int run(const std::string& file, bool verbose) {
  LogBuffer log(verbose);
  std::string name;
  const int fd = openInput(file, kCommand, name);
  if (fd < 0) return kExitBadInput;
  int status = kExitDone;
  uint64_t total = 0;
  Output output;
  PacketPrinter printer(output);
  static uint8_t block[1 << 16];
  for (bool more = true; more;) {
    const ssize_t n = ::read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::fprintf(stderr, "%s: cannot read %s: %s\n", kCommand, name.c_str(), std::strerror(errno));
      status = kExitBadInput;
    }
    if (n <= 0) break;
    total += static_cast<uint64_t>(n);
    more = printer.feed(std::span<const uint8_t>(block, static_cast<size_t>(n)));
  }
  if (fd != STDIN_FILENO) ::close(fd);
  printer.flush();
  output.finish();
  if (output.error() != 0) return std::max(status, output.report(kCommand));

  const uint64_t failed = printer.checksumFailures();
  std::fprintf(stderr, "%s: %llu packets, %llu checksum failures, %llu bytes skipped\n", kCommand,
               static_cast<unsigned long long>(printer.packets() - failed), static_cast<unsigned long long>(failed),
               static_cast<unsigned long long>(total - printer.framedBytes()));
  return status;
}

CommandRegistration registration{
    "decode", "Decode a captured headset byte stream into JSON lines, one per packet",
    [](CLI::App& command) {
      auto file = std::make_shared<std::string>();
      auto verbose = std::make_shared<bool>(false);
      command.add_option("FILE", *file, "Captured bytes; standard input when absent or \"-\"")->type_name("");
      command.add_flag("--verbose", *verbose, "Echo the library's log lines (one per checksum error, ...) to stderr");
      return [file, verbose] { return run(*file, *verbose); };
    },
    20};

}  // namespace
}  // namespace velmora::tool
