#include "host/PacketStream.h"

#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <utility>

namespace velmora::host {
namespace {

// The one mutex of every PacketStream's swapped region.  fork() takes it
// first (unless the forking thread holds it already, in which case that
// thread goes on holding it in both processes), so no process is left with
// it held by a thread that is not there.
class FramerMutex {
 public:
  static std::mutex& get() {
    static FramerMutex* const m = new FramerMutex;  // never destroyed: fork may come at exit
    return m->mutex_;
  }

  // Holds the mutex, and marks the calling thread as its holder, while it lives.
  class Hold {
   public:
    Hold() : lock_(get()) { held() = true; }
    ~Hold() { held() = false; }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    std::lock_guard<std::mutex> lock_;
  };

 private:
  FramerMutex() { ::pthread_atfork(&prepare, &release, &release); }

  static bool& held() {
    thread_local bool h = false;
    return h;
  }
  static bool& takenForFork() {
    thread_local bool t = false;
    return t;
  }
  static void prepare() {
    if (held()) return;
    get().lock();
    takenForFork() = true;
  }
  static void release() {
    if (!takenForFork()) return;
    takenForFork() = false;
    get().unlock();
  }

  std::mutex mutex_;
};

}  // namespace

void PacketStream::Framer::swap() {
  std::swap(parser, parserState);
  poorSignal = velmora::poorSignal.exchange(poorSignal);
  isKRT480 = velmora::isKRT480.exchange(isKRT480);
  sentConfigByte = velmora::sentConfigByte.exchange(sentConfigByte);
}

class PacketStream::SwappedIn {
 public:
  explicit SwappedIn(Framer& f) : f_(f) { f_.swap(); }
  ~SwappedIn() { f_.swap(); }
  SwappedIn(const SwappedIn&) = delete;
  SwappedIn& operator=(const SwappedIn&) = delete;

 private:
  FramerMutex::Hold hold_;
  Framer& f_;
};

PacketStream::PacketStream() {
  SwappedIn in(framer_);
  // Sets the decoder's flags, which land in framer_ on the way out.
  accessory_ = std::make_unique<VelmoraObjC>();
  accessory_->resetParser();
}

PacketStream::~PacketStream() = default;

// Frames `bytes`, cutting the stream right after every checksum byte.
void PacketStream::feed(std::span<const uint8_t> bytes, const OnPacket& onPacket) {
  SwappedIn in(framer_);
  size_t at = 0;
  while (at < bytes.size()) {
    const int32_t state = parserState.state;
    size_t take = 1;
    // The payload bytes still due go in one piece: none of them ends a
    // packet.  (A zero-length packet still takes one byte here.)
    if (state == ParserState::kPayload) {
      take = std::min(static_cast<size_t>(std::max(accessory_->payloadBytesRemaining(), 1)), bytes.size() - at);
    }
    accessory_->parseByte(bytes.subspan(at, take));
    at += take;
    if (state == ParserState::kWaitingForSync || state == ParserState::kWaitingForSecondSync) {
      // A sync byte that began or went on with a packet; else skipped.
      underWay_ = parserState.state == state + 1 ? underWay_ + 1 : 0;
    } else {
      underWay_ += take;
    }
    if (state == ParserState::kChecksum) {
      underWay_ = 0;
      Dictionary values = accessory_->takeData();
      if (!values.empty()) onPacket(std::move(values));
    }
  }
}

}  // namespace velmora::host
