#include "sim/TruthFile.h"

#include <cerrno>
#include <cinttypes>
#include <system_error>

namespace velmora::sim {
namespace {

double seconds(uint64_t sample) { return static_cast<double>(sample) / kSampleRate; }

}  // namespace

TruthFile::TruthFile(const std::string& path, const SignalOptions& options) : path_(path) {
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) throw std::system_error(errno, std::generic_category(), "cannot create truth file " + path);
  std::fprintf(file_,
               "{\"type\":\"stream\",\"mode\":\"%s\",\"seed\":%" PRIu64
               ",\"rate\":%d,\"lf\":%.6g,\"hf\":%.6g,\"period\":%u}\n",
               signalModeName(options.mode), options.seed, kSampleRate, options.lf, options.hf,
               options.periodSeconds);
  std::fflush(file_);
}

TruthFile::~TruthFile() {
  if (file_ != nullptr) std::fclose(file_);
}

std::string TruthFile::jsonLine(const TruthEvent& event) {
  char line[256];
  if (auto* p = std::get_if<PeriodTruth>(&event)) {
    std::snprintf(line, sizeof line, "{\"type\":\"period\",\"mode\":\"%s\",\"start\":%" PRIu64 ",\"time\":%.6f}",
                  signalModeName(p->mode), p->start, seconds(p->start));
  } else if (auto* b = std::get_if<BlinkTruth>(&event)) {
    std::snprintf(line, sizeof line,
                  "{\"type\":\"blink\",\"start\":%" PRIu64 ",\"end\":%" PRIu64
                  ",\"time\":%.6f,\"polarity\":\"%s\",\"strength\":%d,\"code\":%d}",
                  b->start, b->end, seconds(b->start), b->positiveFirst ? "positive" : "negative", b->strength,
                  b->code);
  } else {
    const auto& r = std::get<BeatTruth>(event);
    if (r.rrMs) {
      std::snprintf(line, sizeof line, "{\"type\":\"beat\",\"sample\":%" PRIu64 ",\"time\":%.6f,\"rr_ms\":%.6f}",
                    r.sample, seconds(r.sample), *r.rrMs);
    } else {
      std::snprintf(line, sizeof line, "{\"type\":\"beat\",\"sample\":%" PRIu64 ",\"time\":%.6f}", r.sample,
                    seconds(r.sample));
    }
  }
  return line;
}

void TruthFile::write(const TruthEvent& event) {
  std::string line = jsonLine(event);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), file_);
}

void TruthFile::flush() {
  if (std::fflush(file_) != 0 || std::ferror(file_)) {
    throw std::system_error(errno, std::generic_category(), "cannot write truth file " + path_);
  }
}

}  // namespace velmora::sim
