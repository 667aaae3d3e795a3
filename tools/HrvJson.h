// HRV results as JSON, the same in `velmora hrv` and `velmora demo`: a
// library value as a JSON number (integers as integers; numbers that are not
// finite as the strings "NaN", "Infinity" and "-Infinity", which JSON has no
// numbers for), and VLHrvStandard's measures as one object in its key order.
//
// Threads: plain functions; any thread.
#pragma once

#include <cmath>
#include <nlohmann/json.hpp>

#include "VLHrvStandard.h"
#include "Value.h"

namespace velmora::tool {

inline nlohmann::ordered_json jsonNumber(const Value& v) {
  if (v.isInt()) return v.asInt();
  const double d = v.number();
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  return d;
}

inline nlohmann::ordered_json standardHrvJson(const VLHrvStandard::Result& result) {
  const Dictionary values = result.toDictionary();
  nlohmann::ordered_json out;
  for (const char* key : VLHrvStandard::kKeys) out[key] = jsonNumber(values.at(key));
  return out;
}

}  // namespace velmora::tool
