// Test support: a BDF+/EDF+ file as EDFlib reads it back: header, the "EEG
// Raw" signal's digital samples, the 1 Hz signals' physical values, the other
// 512 Hz signals' ("MISC Blink", "MISC RR") physical values as integers and
// every annotation (onset and duration in samples of 1/512 s).
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
  std::unique_ptr<edf_hdr_struct> hdr = std::make_unique<edf_hdr_struct>();
  bool opened = false;
  std::vector<int> raw;
  std::vector<std::vector<double>> slow;  // [1 Hz signal][record]
  std::vector<std::vector<int>> events;   // [512 Hz signal after "EEG Raw"][sample]
  std::vector<EdfAnnotation> annotations;

  explicit EdfFile(const std::string& path)
      : opened(edfopen_file_readonly(path.c_str(), hdr.get(), EDFLIB_READ_ALL_ANNOTATIONS) == 0) {
    const int h = hdr->handle;
    for (int s = 0; opened && s < hdr->edfsignals; ++s) {
      const auto n = static_cast<int>(hdr->signalparam[s].smp_in_file);
      if (s == 0) raw.resize(static_cast<size_t>(n)), edfread_digital_samples(h, 0, n, raw.data());
      std::vector<double> values(static_cast<size_t>(n));
      if (s > 0) edfread_physical_samples(h, s, n, values.data());
      if (s > 0 && n == hdr->datarecords_in_file) slow.push_back(values);
      if (s > 0 && n != hdr->datarecords_in_file) {
        events.emplace_back();
        for (double v : values) events.back().push_back(static_cast<int>(std::lround(v)));
      }
    }
    const auto samples = [](long long units) { return std::llround(static_cast<double>(units) * 512 / 1e7); };
    for (int i = 0; opened && i < hdr->annotations_in_file; ++i) {
      edf_annotation_struct a;
      edf_get_annotation(h, i, &a);
      annotations.push_back({samples(a.onset), a.duration_l < 0 ? -1 : samples(a.duration_l), a.annotation});
    }
    if (opened) edfclose_file(h);
  }
  // The raw samples outside the "BAD no data" padding.
  std::vector<int> rawWithoutPadding() const {
    std::vector<int> out(raw);
    for (auto a = annotations.rbegin(); a != annotations.rend(); ++a) {
      if (a->text == "BAD no data") out.erase(out.begin() + a->sample, out.begin() + a->sample + a->duration);
    }
    return out;
  }
};

}  // namespace velmora::test
