#include "Convert.h"

#include <string>
#include <unordered_map>

namespace velmora::python {

py::dict toDict(const Dictionary& values) {
  // Never destroyed: the objects must not be released after the
  // interpreter has gone.
  static auto* keys = new std::unordered_map<std::string, py::object>();
  py::dict out;
  for (const auto& [key, value] : values) {
    auto it = keys->find(key);
    if (it == keys->end()) it = keys->emplace(key, py::str(key)).first;
    if (value.isInt()) {
      out[it->second] = py::int_(value.asInt());
    } else if (value.isDouble()) {
      out[it->second] = py::float_(value.asDouble());
    } else {
      out[it->second] = toArray(value.asArray());
    }
  }
  return out;
}

}  // namespace velmora::python
