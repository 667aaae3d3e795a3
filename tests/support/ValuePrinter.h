// Test support: lets GoogleTest print Values readably in failure messages.
#pragma once

#include <ostream>
#include <utility>

#include "Value.h"

namespace velmora {

inline void PrintTo(const Value& value, std::ostream* os) {
  if (value.isInt()) {
    *os << value.asInt();
  } else if (value.isDouble()) {
    *os << value.asDouble();
  } else {
    const char* sep = "";
    *os << '[';
    for (int32_t v : value.asArray()) *os << std::exchange(sep, ", ") << v;
    *os << ']';
  }
}

}  // namespace velmora
