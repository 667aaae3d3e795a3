// The registry proper: aggregates its sources and hands their changes to the
// subscribers' run loops.
//
// Each source calls deliver() from a thread of its own.  deliver() posts one
// task per interested subscriber onto the run loop captured when it
// subscribed; removals are posted before arrivals, so that a subscriber of
// both on one run loop sees a device that was replaced (same path, new
// target) go before it sees it come back.
//
// A subscriber's `callMutex` is held while its handler runs and while its
// Subscription is being destroyed: a destruction on another thread waits for
// a handler under way, and afterwards `active` is false, so tasks already
// posted do nothing.  It is recursive so that a handler may destroy its own
// subscription.
#include "platform/DeviceRegistry.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "platform/FolderDeviceSource.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "platform/UdevDeviceSource.h"

namespace velmora::platform {

struct DeviceRegistry::Impl {
  struct Subscriber {
    bool arrivals = false;
    RunLoop* loop = nullptr;
    Handler handler;
    std::recursive_mutex callMutex;
    bool active = true;  // guarded by callMutex
  };

  class Token : public Subscription {
   public:
    Token(std::weak_ptr<Impl> registry, std::shared_ptr<Subscriber> subscriber)
        : registry_(std::move(registry)), subscriber_(std::move(subscriber)) {}
    ~Token() override {
      if (auto registry = registry_.lock()) registry->remove(subscriber_);
      std::lock_guard<std::recursive_mutex> g(subscriber_->callMutex);
      subscriber_->active = false;
    }

   private:
    std::weak_ptr<Impl> registry_;
    std::shared_ptr<Subscriber> subscriber_;
  };

  std::vector<std::unique_ptr<DeviceSource>> sources;
  std::once_flag startOnce;
  std::atomic<bool> started{false};
  std::mutex mutex;
  std::vector<std::shared_ptr<Subscriber>> subscribers;  // guarded by mutex

  void remove(const std::shared_ptr<Subscriber>& subscriber) {
    std::lock_guard<std::mutex> g(mutex);
    std::erase(subscribers, subscriber);
  }

  void startSources() {
    std::call_once(startOnce, [this] {
      for (auto& source : sources) {
        try {
          source->start([this](const std::vector<DeviceRef>& arrived, const std::vector<DeviceRef>& removed) {
            deliver(arrived, removed);
          });
        } catch (const std::exception& e) {
          logMessage("Device registry: a device source failed to start: %s", e.what());
        }
      }
      started = true;
    });
  }

  void deliver(const std::vector<DeviceRef>& arrived, const std::vector<DeviceRef>& removed) {
    std::vector<std::shared_ptr<Subscriber>> targets;
    {
      std::lock_guard<std::mutex> g(mutex);
      targets = subscribers;
    }
    auto post = [&](bool arrivals, const std::vector<DeviceRef>& devices) {
      if (devices.empty()) return;
      for (const auto& subscriber : targets) {
        if (subscriber->arrivals != arrivals) continue;
        subscriber->loop->post([subscriber, devices] {
          std::lock_guard<std::recursive_mutex> g(subscriber->callMutex);
          if (subscriber->active && subscriber->handler) subscriber->handler(devices);
        });
      }
    };
    post(false, removed);
    post(true, arrived);
  }
};

namespace {

struct SharedSources {
  std::mutex mutex;
  bool used = false;  // shared() has taken them
  std::vector<std::unique_ptr<DeviceSource>> sources;
};

SharedSources& sharedSources() {
  static auto* s = new SharedSources();
  return *s;
}

}  // namespace

DeviceRegistry& DeviceRegistry::shared() {
  // Deliberately never destroyed: the sources' threads may be delivering
  // while static objects are torn down at exit, and the registry must
  // outlive every subscription, wherever its owner keeps it.
  static DeviceRegistry* const registry = [] {
    SharedSources& given = sharedSources();
    std::lock_guard<std::mutex> g(given.mutex);
    given.used = true;
    std::vector<std::unique_ptr<DeviceSource>> sources = std::move(given.sources);
    if (sources.empty()) {
      sources.push_back(std::make_unique<UdevDeviceSource>());
      sources.push_back(std::make_unique<FolderDeviceSource>());
    }
    return new DeviceRegistry(std::move(sources));
  }();
  return *registry;
}

void DeviceRegistry::setSharedSources(std::vector<std::unique_ptr<DeviceSource>> sources) {
  SharedSources& given = sharedSources();
  std::lock_guard<std::mutex> g(given.mutex);
  if (given.used) throw std::logic_error("the shared device registry is in use; its sources are set before that");
  given.sources = std::move(sources);
}

DeviceRegistry::DeviceRegistry(std::vector<std::unique_ptr<DeviceSource>> sources) : impl_(std::make_shared<Impl>()) {
  impl_->sources = std::move(sources);
}

DeviceRegistry::~DeviceRegistry() {
  if (impl_->started) {
    for (auto& source : impl_->sources) source->stop();
  }
}

std::vector<DeviceRef> DeviceRegistry::serialDevices() {
  std::vector<DeviceRef> devices;
  for (auto& source : impl_->sources) {
    auto more = source->enumerate();
    devices.insert(devices.end(), more.begin(), more.end());
  }
  return devices;
}

DeviceRef DeviceRegistry::deviceFromPath(const std::string& path) {
  if (path.empty()) return nullptr;
  auto devices = serialDevices();
  for (const auto& device : devices) {
    if (device->hasPath(path)) return device;
  }
  // Another name for one of the paths (a symbolic link of the user's, a
  // relative path) still finds the device.
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return nullptr;
  std::string canonical(resolved);
  std::free(resolved);
  for (const auto& device : devices) {
    if (device->hasPath(canonical)) return device;
  }
  return nullptr;
}

std::unique_ptr<DeviceRegistry::Subscription> DeviceRegistry::subscribeArrivals(Handler handler) {
  return subscribe(true, std::move(handler));
}

std::unique_ptr<DeviceRegistry::Subscription> DeviceRegistry::subscribeRemovals(Handler handler) {
  return subscribe(false, std::move(handler));
}

std::unique_ptr<DeviceRegistry::Subscription> DeviceRegistry::subscribe(bool arrivals, Handler handler) {
  auto subscriber = std::make_shared<Impl::Subscriber>();
  subscriber->arrivals = arrivals;
  subscriber->loop = &RunLoop::current();
  subscriber->handler = std::move(handler);
  {
    std::lock_guard<std::mutex> g(impl_->mutex);
    impl_->subscribers.push_back(subscriber);
  }
  impl_->startSources();
  return std::make_unique<Impl::Token>(impl_, std::move(subscriber));
}

}  // namespace velmora::platform
