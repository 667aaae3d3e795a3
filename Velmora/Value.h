// One value of the data dictionary or of the HRV result map: a 32-bit
// integer, a double, or an array of 32-bit integers (the "raw" samples).
//
// Values are plain data: copyable, comparable, safe to hand to another
// thread once copied.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace velmora {

class Value {
 public:
  using Array = std::vector<int32_t>;

  Value() : v_(int32_t{0}) {}
  Value(int32_t i) : v_(i) {}  // NOLINT: implicit by design, like a number literal
  Value(double d) : v_(d) {}   // NOLINT
  Value(Array a) : v_(std::move(a)) {}  // NOLINT

  bool isInt() const { return std::holds_alternative<int32_t>(v_); }
  bool isDouble() const { return std::holds_alternative<double>(v_); }
  bool isArray() const { return std::holds_alternative<Array>(v_); }

  // Accessors throw std::bad_variant_access when the value has another kind.
  int32_t asInt() const { return std::get<int32_t>(v_); }
  double asDouble() const { return std::get<double>(v_); }
  const Array& asArray() const { return std::get<Array>(v_); }

  // The value as a double whatever its numeric kind (an array gives 0).
  double number() const {
    if (isInt()) return asInt();
    if (isDouble()) return asDouble();
    return 0.0;
  }

  friend bool operator==(const Value&, const Value&) = default;

 private:
  std::variant<int32_t, double, Array> v_;
};

// The data dictionary and the HRV result map.
using Dictionary = std::map<std::string, Value>;

}  // namespace velmora
