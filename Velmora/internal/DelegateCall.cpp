#include "internal/DelegateCall.h"

#include <exception>

namespace velmora::internal {

std::string currentExceptionText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an exception of unknown type";
  }
}

}  // namespace velmora::internal
