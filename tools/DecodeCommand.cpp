// `velmora decode [FILE]`: decodes a captured headset byte stream.
//
// The bytes (from FILE, or stdin when FILE is absent or "-") are cut into
// packets by PacketStream, and the values of each packet that wrote any are
// written to stdout as one JSON object per line: each data-dictionary key the
// packet set, and "raw" with the packet's raw samples in order.  Log
// lines go to stderr only.  The input is streamed in blocks, so captures of
// any size work; the exit status is 0 whatever the bytes, 1 when the input
// cannot be read.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "Command.h"
#include "PacketStream.h"
#include "Velmora.h"

namespace velmora::tool {
namespace {

class PacketPrinter {
 public:
  ~PacketPrinter() { flush(); }

  void feed(std::span<const uint8_t> bytes) {
    packets_.feed(bytes, [this](Dictionary&& values) { print(values); });
  }

  void flush() {
    if (!out_.empty()) std::fwrite(out_.data(), 1, out_.size(), stdout);
    out_.clear();
    std::fflush(stdout);
  }

 private:
  void print(const Dictionary& data) {
    nlohmann::json line = nlohmann::json::object();
    for (const auto& [key, value] : data) {
      if (value.isArray()) {
        line[key] = value.asArray();
      } else if (value.isInt()) {
        line[key] = value.asInt();
      } else {
        line[key] = value.asDouble();
      }
    }
    out_ += line.dump();
    out_ += '\n';
    if (out_.size() >= kFlushAt) flush();
  }

  static constexpr size_t kFlushAt = 1 << 16;
  PacketStream packets_;
  std::string out_;
};

int run(const std::string& file) {
  setLogSink([](std::string_view line) {
    std::string text(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
  });
  const bool useStdin = file.empty() || file == "-";
  const int fd = useStdin ? STDIN_FILENO : ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "velmora decode: cannot open %s: %s\n", file.c_str(), std::strerror(errno));
    return 1;
  }
  int status = 0;
  {
    PacketPrinter printer;
    static uint8_t block[1 << 16];
    for (;;) {
      const ssize_t n = ::read(fd, block, sizeof block);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        std::fprintf(stderr, "velmora decode: cannot read %s: %s\n", useStdin ? "standard input" : file.c_str(),
                     std::strerror(errno));
        status = 1;
        break;
      }
      printer.feed(std::span<const uint8_t>(block, static_cast<size_t>(n)));
    }
  }
  if (!useStdin) ::close(fd);
  return status;
}

CommandRegistration registration{
    "decode", "Decode a captured headset byte stream into JSON lines, one per packet",
    [](CLI::App& command) {
      auto file = std::make_shared<std::string>();
      command.add_option("FILE", *file, "Captured bytes; standard input when absent or \"-\"")->type_name("");
      return [file] { return run(*file); };
    },
    20};

}  // namespace
}  // namespace velmora::tool
