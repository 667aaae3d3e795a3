#include "internal/SerialPortList.h"

namespace velmora::internal {

SerialPortList& SerialPortList::shared() {
  static SerialPortList* list = new SerialPortList;
  return *list;
}

std::shared_ptr<ZPRSerialPort> SerialPortList::findLocked(const std::string& path) {
  for (auto& entry : entries) {
    if (entry.path != path) continue;
    if (auto port = entry.reference.lock()) return port;
  }
  return nullptr;
}

}  // namespace velmora::internal
