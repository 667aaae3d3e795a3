// Test support: a BDF+/EDF+ file as EDFlib reads it back: header, the "Raw"
// signal's digital samples, the 1 Hz signals' physical values and every
// annotation (onset and duration in samples of 1/512 s).
#pragma once

#include <edflib.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace velmora::test {

struct EdfAnnotation {
  long long sample, duration;  // duration -1: none
  std::string text;
  bool operator==(const EdfAnnotation&) const = default;
};

struct EdfFile {
  bool opened = false;
  std::unique_ptr<edf_hdr_struct> hdr = std::make_unique<edf_hdr_struct>();
  std::vector<int> raw;
  std::vector<std::vector<double>> slow;  // [signal - 1][record]
  std::vector<EdfAnnotation> annotations;

  explicit EdfFile(const std::string& path) {
    opened = edfopen_file_readonly(path.c_str(), hdr.get(), EDFLIB_READ_ALL_ANNOTATIONS) == 0;
    if (!opened) return;
    const auto toSamples = [](long long units) { return std::llround(static_cast<double>(units) * 512 / 1e7); };
    for (int s = 0; s < hdr->edfsignals; ++s) {
      const auto n = static_cast<int>(hdr->signalparam[s].smp_in_file);
      if (s == 0) {
        raw.resize(static_cast<size_t>(n));
        edfread_digital_samples(hdr->handle, 0, n, raw.data());
      } else {
        slow.emplace_back(static_cast<size_t>(n));
        edfread_physical_samples(hdr->handle, s, n, slow.back().data());
      }
    }
    for (long long i = 0; i < hdr->annotations_in_file; ++i) {
      edf_annotation_struct a;
      edf_get_annotation(hdr->handle, static_cast<int>(i), &a);
      annotations.push_back({toSamples(a.onset), a.duration_l < 0 ? -1 : toSamples(a.duration_l), a.annotation});
    }
    edfclose_file(hdr->handle);
  }
  // The raw samples outside the "BAD no data" padding.
  std::vector<int> rawWithoutPadding() const {
    std::vector<int> out;
    for (size_t k = 0; k < raw.size(); ++k) {
      bool padding = false;
      for (const auto& a : annotations) padding |= a.text == "BAD no data" && a.sample <= (long long)k && (long long)k < a.sample + a.duration;
      if (!padding) out.push_back(raw[k]);
    }
    return out;
  }
};

}  // namespace velmora::test
