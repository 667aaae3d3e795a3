// A command for a serial port: the bytes to send, a time-out and the rule
// that recognises the answer.
//
// A client makes a request with requestWithDataToSend() and hands it to
// ZPRSerialPort::sendRequest().  The port writes dataToSend(), then asks
// dataIsValidResponse() after every received chunk, with everything gathered
// since its receive buffer was last emptied, until the answer is accepted or
// timeoutInterval() seconds have passed (0 or less: no time-out).
//
// UUIDString() is a fresh random UUID (libuuid) in its 36-character upper-case
// text form; it is carried for the client and never used by the port.
// userInfo() is opaque to the port.
//
// Thread-safety: every accessor may be called from any thread.  The port calls
// dataIsValidResponse() on its read loop's thread, so an evaluator must be
// callable there; it must not call back into the port that asks it.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace velmora {

class ZPRSerialRequest {
 public:
  using ResponseEvaluator = std::function<bool(std::span<const uint8_t> data)>;

  static std::shared_ptr<ZPRSerialRequest> requestWithDataToSend(std::vector<uint8_t> dataToSend,
                                                                 std::any userInfo, double timeoutInterval,
                                                                 ResponseEvaluator responseEvaluator);

  ZPRSerialRequest(std::vector<uint8_t> dataToSend, std::any userInfo, double timeoutInterval,
                   ResponseEvaluator responseEvaluator);
  ZPRSerialRequest(const ZPRSerialRequest&) = delete;
  ZPRSerialRequest& operator=(const ZPRSerialRequest&) = delete;

  std::vector<uint8_t> dataToSend() const;
  void setDataToSend(std::vector<uint8_t> data);
  std::any userInfo() const;
  void setUserInfo(std::any userInfo);
  double timeoutInterval() const;
  void setTimeoutInterval(double seconds);
  std::string UUIDString() const;
  void setUUIDString(std::string uuid);
  ResponseEvaluator responseEvaluator() const;
  void setResponseEvaluator(ResponseEvaluator evaluator);

  // The evaluator's verdict on `data`; without an evaluator, whether `data`
  // is not empty.
  bool dataIsValidResponse(std::span<const uint8_t> data) const;

 private:
  mutable std::mutex mutex_;
  std::vector<uint8_t> dataToSend_;
  std::any userInfo_;
  double timeoutInterval_;
  std::string UUIDString_;
  // Shared so that asking the evaluator copies no callable.
  std::shared_ptr<const ResponseEvaluator> responseEvaluator_;
};

}  // namespace velmora
