// Test support: lets GoogleTest print Values readably in failure messages.
#pragma once

#include <ostream>

#include "Value.h"

namespace velmora {

inline void PrintTo(const Value& value, std::ostream* os) {
  if (value.isInt()) {
    *os << value.asInt();
  } else if (value.isDouble()) {
    *os << value.asDouble();
  } else {
    *os << '[';
    const char* sep = "";
    for (int32_t v : value.asArray()) {
      *os << sep << v;
      sep = ", ";
    }
    *os << ']';
  }
}

}  // namespace velmora
