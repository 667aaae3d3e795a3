#include "ViewerQueue.h"

namespace velmora::tool::web {

bool ViewerQueue::push(Line line) {
  bool queued = false;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::Open) return false;
    if (bytes_ + line->size() > limit_) {
      state_ = State::Overflowed;
      lines_.clear();
      bytes_ = 0;
    } else {
      bytes_ += line->size();
      lines_.push_back(std::move(line));
      queued = true;
    }
  }
  ready_.notify_one();
  return queued;
}

void ViewerQueue::close() {
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::Open) state_ = State::Closed;
  }
  ready_.notify_one();
}

std::optional<ViewerQueue::Line> ViewerQueue::pop(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  ready_.wait_for(lock, wait, [this] { return !lines_.empty() || state_ != State::Open; });
  if (state_ == State::Overflowed || lines_.empty()) return std::nullopt;
  Line line = std::move(lines_.front());
  lines_.pop_front();
  bytes_ -= line->size();
  return line;
}

ViewerQueue::State ViewerQueue::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

}  // namespace velmora::tool::web
