// Conversions between the library's values and Python objects.
//
// Threads: the caller holds the GIL.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "Value.h"

namespace velmora::python {

namespace py = pybind11;

// A data dictionary (or HRV result) as a dict: integers as int, doubles as
// float, arrays ("raw") as numpy int32 arrays.  Keys are interned, so that
// the many small dicts of a long stream share their key objects.
py::dict toDict(const Dictionary& values);

// A copy of `values` as a numpy array.
template <typename T>
py::array_t<T> toArray(const std::vector<T>& values) {
  py::array_t<T> out(static_cast<py::ssize_t>(values.size()));
  if (!values.empty()) std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

// The steady-clock time `seconds` from now; none (or above a year, or
// infinite): never.  NaN and negative values mean now.
std::chrono::steady_clock::time_point deadlineAfter(std::optional<double> seconds);

}  // namespace velmora::python
