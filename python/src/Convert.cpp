#include "Convert.h"

#include <cstring>
#include <string>
#include <unordered_map>

namespace velmora::python {
namespace {

// The Python C API directly: a long stream is millions of small dicts, and
// pybind11's generic wrappers cost more than the decoding itself.
PyObject* newInt32Array(const std::vector<int32_t>& values) {
  auto& api = py::detail::npy_api::get();
  PyObject* descr = api.PyArray_DescrFromType_(py::detail::npy_api::NPY_INT32_);
  if (descr == nullptr) return nullptr;
  Py_intptr_t size = static_cast<Py_intptr_t>(values.size());
  // Steals the reference to descr.
  PyObject* array = api.PyArray_NewFromDescr_(api.PyArray_Type_, descr, 1, &size, nullptr, nullptr, 0, nullptr);
  if (array != nullptr && !values.empty()) {
    std::memcpy(py::detail::array_proxy(array)->data, values.data(), values.size() * sizeof(int32_t));
  }
  return array;
}

PyObject* newValue(const Value& value) {
  if (value.isInt()) return PyLong_FromLong(value.asInt());
  if (value.isDouble()) return PyFloat_FromDouble(value.asDouble());
  return newInt32Array(value.asArray());
}

// Interned key objects, kept for the process's life (never released after
// the interpreter has gone).
PyObject* keyObject(const std::string& key) {
  static auto* keys = new std::unordered_map<std::string, PyObject*>();
  auto it = keys->find(key);
  if (it != keys->end()) return it->second;
  PyObject* object = PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
  if (object == nullptr) throw py::error_already_set();
  PyUnicode_InternInPlace(&object);
  keys->emplace(key, object);
  return object;
}

}  // namespace

py::dict toDict(const Dictionary& values) {
  py::dict out;
  for (const auto& [key, value] : values) {
    PyObject* item = newValue(value);
    if (item == nullptr) throw py::error_already_set();
    const int failed = PyDict_SetItem(out.ptr(), keyObject(key), item);
    Py_DECREF(item);
    if (failed != 0) throw py::error_already_set();
  }
  return out;
}

std::chrono::steady_clock::time_point deadlineAfter(std::optional<double> seconds) {
  using Clock = std::chrono::steady_clock;
  constexpr double kYear = 365.0 * 86400.0;
  if (!seconds || *seconds > kYear) return Clock::time_point::max();
  const double s = *seconds > 0.0 ? *seconds : 0.0;  // NaN fails the test too
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace velmora::python
