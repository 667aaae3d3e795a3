#include "ZPRSerialRequest.h"

#include <uuid/uuid.h>

namespace velmora {

namespace {

std::string makeUUIDString() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];
  uuid_unparse_upper(uuid, text);
  return text;
}

std::shared_ptr<const ZPRSerialRequest::ResponseEvaluator> share(ZPRSerialRequest::ResponseEvaluator evaluator) {
  if (!evaluator) return nullptr;
  return std::make_shared<const ZPRSerialRequest::ResponseEvaluator>(std::move(evaluator));
}

}  // namespace

std::shared_ptr<ZPRSerialRequest> ZPRSerialRequest::requestWithDataToSend(std::vector<uint8_t> dataToSend,
                                                                          std::any userInfo, double timeoutInterval,
                                                                          ResponseEvaluator responseEvaluator) {
  return std::make_shared<ZPRSerialRequest>(std::move(dataToSend), std::move(userInfo), timeoutInterval,
                                            std::move(responseEvaluator));
}

ZPRSerialRequest::ZPRSerialRequest(std::vector<uint8_t> dataToSend, std::any userInfo, double timeoutInterval,
                                   ResponseEvaluator responseEvaluator)
    : dataToSend_(std::move(dataToSend)),
      userInfo_(std::move(userInfo)),
      timeoutInterval_(timeoutInterval),
      UUIDString_(makeUUIDString()),
      responseEvaluator_(share(std::move(responseEvaluator))) {}

std::vector<uint8_t> ZPRSerialRequest::dataToSend() const {
  std::lock_guard<std::mutex> g(mutex_);
  return dataToSend_;
}

void ZPRSerialRequest::setDataToSend(std::vector<uint8_t> data) {
  std::lock_guard<std::mutex> g(mutex_);
  dataToSend_ = std::move(data);
}

std::any ZPRSerialRequest::userInfo() const {
  std::lock_guard<std::mutex> g(mutex_);
  return userInfo_;
}

void ZPRSerialRequest::setUserInfo(std::any userInfo) {
  std::lock_guard<std::mutex> g(mutex_);
  userInfo_ = std::move(userInfo);
}

double ZPRSerialRequest::timeoutInterval() const {
  std::lock_guard<std::mutex> g(mutex_);
  return timeoutInterval_;
}

void ZPRSerialRequest::setTimeoutInterval(double seconds) {
  std::lock_guard<std::mutex> g(mutex_);
  timeoutInterval_ = seconds;
}

std::string ZPRSerialRequest::UUIDString() const {
  std::lock_guard<std::mutex> g(mutex_);
  return UUIDString_;
}

void ZPRSerialRequest::setUUIDString(std::string uuid) {
  std::lock_guard<std::mutex> g(mutex_);
  UUIDString_ = std::move(uuid);
}

ZPRSerialRequest::ResponseEvaluator ZPRSerialRequest::responseEvaluator() const {
  std::lock_guard<std::mutex> g(mutex_);
  return responseEvaluator_ ? *responseEvaluator_ : ResponseEvaluator{};
}

void ZPRSerialRequest::setResponseEvaluator(ResponseEvaluator evaluator) {
  auto shared = share(std::move(evaluator));
  std::lock_guard<std::mutex> g(mutex_);
  responseEvaluator_ = std::move(shared);
}

bool ZPRSerialRequest::dataIsValidResponse(std::span<const uint8_t> data) const {
  std::shared_ptr<const ResponseEvaluator> evaluator;
  {
    std::lock_guard<std::mutex> g(mutex_);
    evaluator = responseEvaluator_;
  }
  if (evaluator) return (*evaluator)(data);
  return !data.empty();
}

}  // namespace velmora
