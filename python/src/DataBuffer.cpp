#include "DataBuffer.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "VelmoraObjC.h"

namespace velmora::python {
namespace {

double systemSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Moves the entries of `from` stamped before `end` to the end of `to`.
template <typename T>
size_t moveBefore(std::deque<double>& times, std::deque<T>& values, double end, std::vector<double>& toTimes,
                  std::vector<T>& toValues) {
  const size_t n = static_cast<size_t>(std::lower_bound(times.begin(), times.end(), end) - times.begin());
  toTimes.insert(toTimes.end(), times.begin(), times.begin() + static_cast<std::ptrdiff_t>(n));
  toValues.insert(toValues.end(), std::make_move_iterator(values.begin()),
                  std::make_move_iterator(values.begin() + static_cast<std::ptrdiff_t>(n)));
  times.erase(times.begin(), times.begin() + static_cast<std::ptrdiff_t>(n));
  values.erase(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

// Drops the entries stamped before `oldest`.
template <typename T>
void dropBefore(std::deque<double>& times, std::deque<T>& values, double oldest) {
  while (!times.empty() && times.front() < oldest) {
    times.pop_front();
    values.pop_front();
  }
}

}  // namespace

DataBuffer::DataBuffer(size_t capacity, std::shared_ptr<VelmoraStreamListener> next, std::function<double()> hostClock)
    : capacity_(std::max<size_t>(capacity, 1)),
      next_(std::move(next)),
      hostClock_(hostClock ? std::move(hostClock) : std::function<double()>(systemSeconds)) {}

void DataBuffer::anchorIfNeeded(double now) {
  if (clock_.started() && !newConnection_) return;
  if (!clock_.started()) {
    clock_.start(now, 0.0);
  } else {
    // A reconnect: the gap runs from where the last connection's samples
    // ended to the new anchor.
    const double start = down_ ? gapStart_ : clock_.peek();
    clock_.start(now, start);
    gapStarts_.push_back(start);
    gapEnds_.push_back(clock_.peek());
  }
  newConnection_ = false;
  down_ = false;
}

void DataBuffer::rawSampleDecoded(int32_t sample, int32_t blinkStrength, int32_t rrIntervalMs) {
  {
    std::lock_guard<std::mutex> g(mutex_);
    const double now = hostClock_();
    anchorIfNeeded(now);
    // Samples without a new connection after a loss report: that report
    // belonged to an earlier connection.
    down_ = false;
    const double t = clock_.next(now);
    raw_.push_back(sample);
    t_.push_back(t);
    newest_ = t;
    auto stamp = [&](size_t series, int32_t value) {
      series_[series].t.push_back(t);
      series_[series].value.push_back(value);
    };
    if (blinkStrength > 0) stamp(kBlinks, blinkStrength);
    if (rrIntervalMs > 0) {
      stamp(kRr, rrIntervalMs);
      stamp(kHeartRate, VelmoraObjC::heartRateForRrInterval(rrIntervalMs));
    }
    if (raw_.size() > capacity_) trim();
  }
  arrived_.notify_all();
  if (next_) next_->rawSampleDecoded(sample, blinkStrength, rrIntervalMs);
}

void DataBuffer::trim() {
  const size_t excess = raw_.size() - capacity_;
  raw_.erase(raw_.begin(), raw_.begin() + static_cast<std::ptrdiff_t>(excess));
  t_.erase(t_.begin(), t_.begin() + static_cast<std::ptrdiff_t>(excess));
  dropped_ += excess;
  const double oldest = t_.front();
  for (Stamped& s : series_) dropBefore(s.t, s.value, oldest);
  dropBefore(markerTimes_, markerTexts_, oldest);
  // A gap is kept while its end is not older than the oldest sample.
  while (!gapEnds_.empty() && gapEnds_.front() < oldest) {
    gapStarts_.pop_front();
    gapEnds_.pop_front();
  }
}

void DataBuffer::valueDecoded(const std::string& key, int32_t value) {
  {
    std::lock_guard<std::mutex> g(mutex_);
    const auto it = std::find(kValueKeys.begin(), kValueKeys.end(), key);
    if (it != kValueKeys.end()) {
      anchorIfNeeded(hostClock_());
      Stamped& s = series_[static_cast<size_t>(it - kValueKeys.begin())];
      s.t.push_back(clock_.peek());
      s.value.push_back(value);
    }
  }
  if (next_) next_->valueDecoded(key, value);
}

void DataBuffer::endSession() {
  std::lock_guard<std::mutex> g(mutex_);
  ending_ = true;
}

void DataBuffer::linkChanged(Link change, const std::string& portName) {
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (ending_) return;
    if (change == Link::Opened) {
      newConnection_ = clock_.started();
    } else if (clock_.started() && !down_ && !newConnection_) {
      down_ = true;
      gapStart_ = clock_.peek();
    }
  }
  if (next_) next_->linkChanged(change, portName);
}

DataBuffer::Chunk DataBuffer::take(std::optional<size_t> samples, bool everything) {
  Chunk out;
  std::lock_guard<std::mutex> g(mutex_);
  const size_t n = std::min(samples.value_or(raw_.size()), raw_.size());
  double end = std::numeric_limits<double>::infinity();
  if (n < raw_.size()) {
    end = t_[n];
  } else if (!everything && clock_.started()) {
    end = clock_.peek();
  }
  out.raw.assign(raw_.begin(), raw_.begin() + static_cast<std::ptrdiff_t>(n));
  out.t.assign(t_.begin(), t_.begin() + static_cast<std::ptrdiff_t>(n));
  raw_.erase(raw_.begin(), raw_.begin() + static_cast<std::ptrdiff_t>(n));
  t_.erase(t_.begin(), t_.begin() + static_cast<std::ptrdiff_t>(n));
  for (size_t i = 0; i < kSeriesCount; ++i) {
    moveBefore(series_[i].t, series_[i].value, end, out.series[i].t, out.series[i].value);
  }
  moveBefore(markerTimes_, markerTexts_, end, out.markerTimes, out.markerTexts);
  moveBefore(gapStarts_, gapEnds_, end, out.gapStarts, out.gapEnds);
  return out;
}

void DataBuffer::waitFor(size_t samples, std::chrono::steady_clock::time_point until) {
  std::unique_lock<std::mutex> g(mutex_);
  arrived_.wait_until(g, until, [&] { return raw_.size() >= samples; });
}

size_t DataBuffer::available() const {
  std::lock_guard<std::mutex> g(mutex_);
  return raw_.size();
}

uint64_t DataBuffer::dropped() const {
  std::lock_guard<std::mutex> g(mutex_);
  return dropped_;
}

double DataBuffer::annotate(const std::string& text) {
  std::lock_guard<std::mutex> g(mutex_);
  const double t = newest_ ? *newest_ : hostClock_();
  // Kept in time order: a marker made before the first sample may lie
  // after a later sample's time only if the host's clock jumped.
  const double at = markerTimes_.empty() ? t : std::max(t, markerTimes_.back());
  markerTimes_.push_back(at);
  markerTexts_.push_back(text);
  return at;
}

}  // namespace velmora::python
