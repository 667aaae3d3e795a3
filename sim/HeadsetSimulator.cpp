#include "sim/HeadsetSimulator.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <stdexcept>
#include <system_error>

#include "platform/DeviceFolder.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "sim/Pty.h"
#include "sim/StreamGenerator.h"
#include "sim/TruthFile.h"

namespace velmora::sim {
namespace {

const SimulatorOptions& validated(const SimulatorOptions& options) {
  options.validate();
  return options;
}

// Behind schedule by more than this, the schedule restarts instead of
// bursting the backlog.
constexpr double kMaxLagSeconds = 0.25;
// The stream goes out in batches of about this much wall-clock time.
constexpr double kBatchSeconds = 0.005;

}  // namespace

HeadsetSimulator::HeadsetSimulator(SimulatorOptions options)
    : options_(validated(options)), rate_(kSampleRate * options_.speed) {}

HeadsetSimulator::~HeadsetSimulator() {
  stop();
  if (wake_ >= 0) ::close(wake_);
}

std::vector<uint8_t> HeadsetSimulator::generateOffline(const SimulatorOptions& options, GroundTruth* truth) {
  return StreamGenerator::generate(options, truth);
}

void HeadsetSimulator::start() {
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (started_) throw std::logic_error("the simulator has been started before; a simulator runs once");
  }
  generator_ = std::make_unique<StreamGenerator>(options_);
  if (!options_.truthPath.empty()) truthFile_ = std::make_unique<TruthFile>(options_.truthPath, options_.signal);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) throw std::system_error(errno, std::generic_category(), "cannot create an eventfd");
  plugIn();
  {
    std::lock_guard<std::mutex> g(mutex_);
    started_ = true;
  }
  try {
    thread_ = std::thread([this] { run(); });
  } catch (...) {
    unplugNow();
    std::lock_guard<std::mutex> g(mutex_);
    started_ = false;
    throw;
  }
}

void HeadsetSimulator::stop() {
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (!started_ || stopRequested_) return;
    stopRequested_ = true;
    urgent_ = true;
  }
  wake();
  if (thread_.joinable()) thread_.join();
}

void HeadsetSimulator::wake() {
  uint64_t one = 1;
  if (wake_ >= 0) (void)!::write(wake_, &one, sizeof one);
}

// ---------------------------------------------------------------- queries

bool HeadsetSimulator::isFinished() const {
  std::lock_guard<std::mutex> g(mutex_);
  return finished_;
}

void HeadsetSimulator::waitUntilFinished() {
  std::unique_lock<std::mutex> g(mutex_);
  changed_.wait(g, [this] { return finished_ || !started_; });
}

bool HeadsetSimulator::waitUntilFinished(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> g(mutex_);
  return changed_.wait_for(g, timeout, [this] { return finished_; });
}

bool HeadsetSimulator::waitUntilDrained(std::chrono::milliseconds timeout) {
  // The simulator's thread samples the slave's queue every few ms once the
  // stream has finished, and tells when it is found empty.
  std::unique_lock<std::mutex> g(mutex_);
  return changed_.wait_for(g, timeout, [this] { return finished_ && drained_; });
}

std::string HeadsetSimulator::devicePath() const {
  std::lock_guard<std::mutex> g(mutex_);
  return devicePath_;
}

std::string HeadsetSimulator::ttyPath() const {
  std::lock_guard<std::mutex> g(mutex_);
  return ttyPath_;
}

bool HeadsetSimulator::isPlugged() const {
  std::lock_guard<std::mutex> g(mutex_);
  return plugged_;
}

GroundTruth HeadsetSimulator::truth() const {
  std::lock_guard<std::mutex> g(mutex_);
  return truth_;
}

std::string HeadsetSimulator::error() const {
  std::lock_guard<std::mutex> g(mutex_);
  return error_;
}

// ---------------------------------------------------------------- commands

uint64_t HeadsetSimulator::post(CommandKind kind, const Fault& fault) {
  uint64_t id;
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (!started_) throw std::logic_error("the simulator has not been started");
    id = nextCommand_++;
    commands_.push_back({kind, fault, id});
    if (kind == CommandKind::Unplug || (kind == CommandKind::Fault && fault.kind == FaultKind::Unplug)) urgent_ = true;
  }
  wake();
  return id;
}

void HeadsetSimulator::waitFor(uint64_t id) {
  std::unique_lock<std::mutex> g(mutex_);
  changed_.wait(g, [&] { return doneCommand_ >= id || threadExited_; });
}

void HeadsetSimulator::unplug() { waitFor(post(CommandKind::Unplug, Fault{})); }
void HeadsetSimulator::replug() { waitFor(post(CommandKind::Replug, Fault{})); }
void HeadsetSimulator::injectFault(const Fault& fault) { post(CommandKind::Fault, fault); }

// Runs the queued commands; false once a stop is requested.
bool HeadsetSimulator::runCommands() {
  std::deque<Command> todo;
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (stopRequested_) return false;
    todo.swap(commands_);
    urgent_ = false;
  }
  uint64_t last = 0;
  for (const Command& c : todo) {
    switch (c.kind) {
      case CommandKind::Unplug:
        replugAt_.reset();
        if (pty_) unplugNow();
        break;
      case CommandKind::Replug:
        replugAt_.reset();
        if (!pty_) plugIn();
        break;
      case CommandKind::Fault:
        if (c.fault.isLinkFault()) {
          handleLinkFault(c.fault);
        } else {
          generator_->inject(c.fault);
        }
        break;
    }
    last = c.id;
  }
  if (last != 0) {
    std::lock_guard<std::mutex> g(mutex_);
    doneCommand_ = last;
    changed_.notify_all();
  }
  return true;
}

// ---------------------------------------------------------------- the link

void HeadsetSimulator::plugIn() {
  auto pty = std::make_unique<Pty>();
  std::string link = platform::DeviceFolder::publish(options_.name, pty->slavePath());
  std::string tty = pty->slavePath();
  pty_ = std::move(pty);
  // Restart the schedule from here: the headset's clock stood still.
  anchor_ = Clock::now();
  anchorTick_ = generator_->ticks();
  zeroUnreadChecks_ = 0;
  std::lock_guard<std::mutex> g(mutex_);
  drained_ = false;
  plugged_ = true;
  devicePath_ = link;
  ttyPath_ = tty;
}

void HeadsetSimulator::unplugNow() {
  platform::DeviceFolder::unpublish(options_.name);
  pty_.reset();
  std::lock_guard<std::mutex> g(mutex_);
  drained_ = true;  // nothing more can be read
  plugged_ = false;
  changed_.notify_all();
}

void HeadsetSimulator::handleLinkFault(const Fault& fault) {
  auto after = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(fault.argument / options_.speed));
  if (fault.kind == FaultKind::Pause) {
    pauseUntil_ = Clock::now() + after;
    return;
  }
  if (pty_) unplugNow();
  if (fault.argument > 0.0) {
    replugAt_ = Clock::now() + after;
  } else {
    finish("");
  }
}

void HeadsetSimulator::finish(const std::string& why) {
  std::lock_guard<std::mutex> g(mutex_);
  if (!why.empty() && error_.empty()) error_ = why;
  finished_ = true;
  changed_.notify_all();
}

void HeadsetSimulator::drainInput() {
  if (!pty_) return;
  uint8_t buffer[4096];
  for (;;) {
    ssize_t n = ::read(pty_->master(), buffer, sizeof buffer);
    if (n > 0) {
      bytesReceived_ += static_cast<uint64_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return;
  }
}

void HeadsetSimulator::waitForWake(Clock::time_point until) {
  auto left = until - Clock::now();
  if (left < Clock::duration::zero()) left = Clock::duration::zero();
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  pollfd fds[2] = {{wake_, POLLIN, 0}, {pty_ ? pty_->master() : -1, POLLIN, 0}};
  if (::ppoll(fds, 2, &timeout, nullptr) > 0) {
    uint64_t count;
    if (fds[0].revents & POLLIN) (void)!::read(wake_, &count, sizeof count);
    if (fds[1].revents & POLLIN) drainInput();
  }
}

// Writes the batch, waiting for room as long as it takes.  Returns false if
// a stop or unplug cut it short; the counters cover what was written.
bool HeadsetSimulator::writeBatch(const TickBuffer& batch, const std::vector<std::pair<size_t, uint64_t>>& tickEnds) {
  size_t written = 0;
  bool complete = true;
  while (written < batch.bytes.size()) {
    ssize_t n = ::write(pty_->master(), batch.bytes.data() + written, batch.bytes.size() - written);
    if (n > 0) {
      written += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      finish("cannot write to the pty: " + platform::errnoText(errno));
      complete = false;
      break;
    }
    if (urgent_.load()) {
      complete = false;
      break;
    }
    pollfd fds[2] = {{pty_->master(), POLLOUT | POLLIN, 0}, {wake_, POLLIN, 0}};
    if (::poll(fds, 2, 100) > 0) {
      if (fds[0].revents & POLLIN) drainInput();
      uint64_t count;
      if (fds[1].revents & POLLIN) (void)!::read(wake_, &count, sizeof count);
    }
    // A command that is not urgent waits for the batch; the loop sees it next.
    if (urgent_.load()) {
      complete = false;
      break;
    }
  }
  bytesSent_ += written;
  uint64_t packets = 0;
  for (size_t i = 0; i < batch.packetStarts.size(); ++i) {
    size_t end = i + 1 < batch.packetStarts.size() ? batch.packetStarts[i + 1] : batch.bytes.size();
    if (end <= written) ++packets;
  }
  packetsSent_ += packets;
  uint64_t samples = 0;
  for (const auto& [end, count] : tickEnds) {
    if (end <= written) samples = count;
  }
  samplesSent_ += samples;
  if (!complete) wake();  // let the loop run the command at once
  return complete;
}

void HeadsetSimulator::publishTruth() {
  std::vector<TruthEvent> events;
  generator_->source().takeTruth(events);
  malformedLines_ = generator_->source().malformedLines();
  if (events.empty()) return;
  {
    std::lock_guard<std::mutex> g(mutex_);
    for (const TruthEvent& e : events) truth_.add(e);
  }
  if (!truthFile_) return;
  try {
    for (const TruthEvent& e : events) truthFile_->write(e);
    truthFile_->flush();
  } catch (const std::system_error& e) {
    logMessage("velmora simulate: %s; the truth file is incomplete", e.what());
    truthFile_.reset();
  }
}

// ---------------------------------------------------------------- the loop

void HeadsetSimulator::run() {
  const auto minBatch = static_cast<uint64_t>(std::max(1.0, std::floor(rate_ * kBatchSeconds)));
  const auto maxBatch = std::max<uint64_t>(minBatch, static_cast<uint64_t>(std::min(4096.0, rate_ * 0.05)));
  const auto maxLag = static_cast<uint64_t>(rate_ * kMaxLagSeconds) + 1;
  auto timeOf = [this](uint64_t tick) {
    return anchor_ + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(static_cast<double>(tick - anchorTick_) / rate_));
  };
  TickBuffer batch;
  std::vector<std::pair<size_t, uint64_t>> tickEnds;  // byte offset after each sample time, samples so far

  try {
    while (runCommands()) {
      auto now = Clock::now();
      if (!pty_) {
        if (replugAt_ && now >= *replugAt_) {
          replugAt_.reset();
          plugIn();
          continue;
        }
        waitForWake(replugAt_ ? *replugAt_ : now + std::chrono::milliseconds(100));
        continue;
      }
      drainInput();
      if (isFinished()) {
        zeroUnreadChecks_ = pty_->unread() == 0 ? zeroUnreadChecks_ + 1 : 0;
        {
          std::lock_guard<std::mutex> g(mutex_);
          const bool drained = zeroUnreadChecks_ >= 2;
          if (drained && !drained_) changed_.notify_all();
          drained_ = drained;
        }
        waitForWake(now + std::chrono::milliseconds(5));
        continue;
      }
      if (pauseUntil_) {
        if (now < *pauseUntil_) {
          waitForWake(*pauseUntil_);
          continue;
        }
        pauseUntil_.reset();
        anchor_ = now;
        anchorTick_ = generator_->ticks();
      }

      uint64_t done = generator_->ticks();
      double elapsed = std::chrono::duration<double>(now - anchor_).count();
      uint64_t sendable = anchorTick_ + static_cast<uint64_t>(std::floor(std::max(0.0, elapsed) * rate_)) + 1;
      if (sendable > done + maxLag) {
        anchor_ = now;
        anchorTick_ = done;
        sendable = done + 1;
      }
      if (sendable < done + minBatch) {
        waitForWake(timeOf(done + minBatch - 1));
        continue;
      }

      batch.clear();
      tickEnds.clear();
      std::optional<Fault> linkFault;
      bool ended = false;
      uint64_t count = std::min(sendable - done, maxBatch);
      for (uint64_t i = 0; i < count; ++i) {
        linkFault = generator_->takeDueLinkFault();
        if (linkFault) break;
        if (!generator_->tick(batch)) {
          ended = true;
          break;
        }
        tickEnds.emplace_back(batch.bytes.size(), batch.samples);
      }
      if (!batch.bytes.empty()) writeBatch(batch, tickEnds);
      publishTruth();
      if (linkFault) handleLinkFault(*linkFault);
      if (ended) finish("");
    }
  } catch (const std::exception& e) {
    logMessage("velmora simulate: the stream stopped: %s", e.what());
    finish(e.what());
  }

  if (pty_) unplugNow();
  truthFile_.reset();
  std::lock_guard<std::mutex> g(mutex_);
  finished_ = true;
  threadExited_ = true;
  changed_.notify_all();
}

}  // namespace velmora::sim
