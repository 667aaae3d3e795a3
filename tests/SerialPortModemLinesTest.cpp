// Modem lines and the ioctl failures a pseudo-terminal cannot produce: the
// data still flows through a real pty, while TIOCMGET/TIOCMSET go to a fake.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>

#include "ZPRSerialPort.h"
#include "platform/TerminalIO.h"
#include "support/SerialPortTestSupport.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::Pty;
using test::RecordingDelegate;
using test::runMainUntil;

class FakeModemIO : public platform::TerminalIO {
 public:
  int getModemLines(int, int* bits) override {
    ++reads;
    if (int err = failGet.load()) {
      errno = err;
      return -1;
    }
    *bits = lines;
    return 0;
  }
  int setModemLines(int, const int* bits) override {
    if (int err = failSet.load()) {
      errno = err;
      return -1;
    }
    // The inputs are the peer's; only the outputs follow the write.
    const int outputs = TIOCM_RTS | TIOCM_DTR;
    lines = (lines & ~outputs) | (*bits & outputs);
    return 0;
  }
  void raise(int bit) { lines |= bit; }
  void lower(int bit) { lines &= ~bit; }

  std::atomic<int> lines{0};
  std::atomic<int> failGet{0};
  std::atomic<int> failSet{0};
  std::atomic<int> reads{0};
};

struct ModemFixture : ::testing::Test {
  Pty pty;
  std::shared_ptr<FakeModemIO> io = std::make_shared<FakeModemIO>();
  std::shared_ptr<ZPRSerialPort> port = ZPRSerialPort::serialPortWithDevice(pty.device("Modem"));
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();

  ModemFixture() {
    port->setTerminalIO(io);
    port->setDelegate(delegate);
  }
  ~ModemFixture() override {
    port->close();
    runMainUntil([&] { return delegate->count("closed") >= delegate->count("opened"); }, 2s);
    // The read loop lets go of the port within 100 ms of the close; a later
    // test on a reused pty path must get a fresh port object.
    std::weak_ptr<ZPRSerialPort> weak = port;
    port.reset();
    runMainUntil([&] { return weak.expired(); }, 2s);
  }
  void openAndWait() {
    port->open();
    ASSERT_TRUE(port->isOpen());
    ASSERT_TRUE(runMainUntil([&] { return delegate->count("opened") == 1; }));
  }
};

using SerialPortModemLines = ModemFixture;

TEST_F(SerialPortModemLines, OpenDrivesTheOutputsToTheRequestedLevels) {
  // The system raised both lines on open; the defaults ask for them low.
  io->lines = TIOCM_RTS | TIOCM_DTR;
  std::vector<std::string> changes;
  auto token = port->addObserver("RTS", [&](const platform::Change& c) { changes.push_back(c.key); });
  openAndWait();
  EXPECT_EQ(io->lines & (TIOCM_RTS | TIOCM_DTR), 0);
  EXPECT_FALSE(port->RTS());
  EXPECT_FALSE(port->DTR());
  EXPECT_TRUE(port->hasPinPollTimer());
  // The property showed the present level, then the request.
  EXPECT_EQ(changes, (std::vector<std::string>{"RTS", "RTS"}));
  port->removeObserver(token);

  port->setRTS(true);
  EXPECT_EQ(io->lines & TIOCM_RTS, TIOCM_RTS);
  port->setDTR(true);
  EXPECT_EQ(io->lines & TIOCM_DTR, TIOCM_DTR);
  port->setRTS(false);
  EXPECT_EQ(io->lines & TIOCM_RTS, 0);
  EXPECT_EQ(delegate->count("error"), 0u);

  port->close();
  EXPECT_FALSE(port->hasPinPollTimer());
  // While closed the request is only stored, and applied by the next open.
  port->setRTS(true);
  EXPECT_EQ(io->lines & TIOCM_RTS, 0);
  port->open();
  EXPECT_EQ(io->lines & TIOCM_RTS, TIOCM_RTS);
}

TEST_F(SerialPortModemLines, InputLineChangesAreSeenAndSetOnTheMainThread) {
  openAndWait();
  std::mutex mutex;
  std::vector<std::pair<std::string, bool>> changes;  // key, on main thread
  std::vector<platform::Observable::Token> tokens;
  for (const char* key : {"CTS", "DSR", "DCD"}) {
    tokens.push_back(port->addObserver(key, [&](const platform::Change& c) {
      std::lock_guard<std::mutex> g(mutex);
      changes.emplace_back(c.key, platform::MainQueue::isMainThread());
    }));
  }
  auto seen = [&] {
    std::lock_guard<std::mutex> g(mutex);
    return changes;
  };

  io->raise(TIOCM_CTS);
  ASSERT_TRUE(runMainUntil([&] { return port->CTS(); }));
  io->raise(TIOCM_CAR);
  ASSERT_TRUE(runMainUntil([&] { return port->DCD(); }));
  io->lines = TIOCM_CAR | TIOCM_DSR;  // in one step: CTS falls as DSR rises
  ASSERT_TRUE(runMainUntil([&] { return port->DSR() && !port->CTS(); }));

  auto all = seen();
  ASSERT_EQ(all.size(), 4u);  // unchanged lines cause no change
  EXPECT_EQ(all[0].first, "CTS");
  EXPECT_EQ(all[1].first, "DCD");
  // One poll saw CTS fall and DSR rise: CTS is handled first.
  EXPECT_EQ(all[2].first, "CTS");
  EXPECT_EQ(all[3].first, "DSR");
  for (auto& [key, onMain] : all) EXPECT_TRUE(onMain) << key;
  for (auto token : tokens) port->removeObserver(token);
}

TEST_F(SerialPortModemLines, AFailedLineWriteIsReportedAndTheRequestKept) {
  openAndWait();
  io->failSet = EPERM;
  port->setDTR(true);
  EXPECT_TRUE(port->DTR());
  ASSERT_EQ(delegate->count("error"), 1u);  // called on the main thread: at once
  EXPECT_EQ(delegate->events().back().errorCode, EPERM);
  EXPECT_TRUE(port->isOpen());
}

TEST_F(SerialPortModemLines, ENXIOFromThePollIsHandledAsRemovalInOrder) {
  openAndWait();
  io->failGet = ENXIO;
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("closed") == 1; }));
  EXPECT_EQ(delegate->kinds(), (std::vector<std::string>{"opened", "error", "removed", "closed"}));
  EXPECT_EQ(delegate->events()[1].errorCode, ENXIO);
  EXPECT_TRUE(delegate->allOnMainThread());
  EXPECT_FALSE(port->isOpen());
  EXPECT_FALSE(port->hasPinPollTimer());
}

TEST_F(SerialPortModemLines, OtherPollFailuresAreReportedWhileThePortStaysOpen) {
  openAndWait();
  io->failGet = EPERM;
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("error") >= 2; }));  // every poll reports
  EXPECT_TRUE(port->isOpen());
  EXPECT_EQ(delegate->count("removed"), 0u);
  io->failGet = 0;
  io->raise(TIOCM_CTS);
  ASSERT_TRUE(runMainUntil([&] { return port->CTS(); }));
}

TEST_F(SerialPortModemLines, AnOpenThatCannotReadTheLinesReportsAndGoesOn) {
  io->failGet = EPERM;
  port->open();
  EXPECT_TRUE(port->isOpen());
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("opened") == 1; }));
  EXPECT_GE(delegate->count("error"), 1u);
  EXPECT_EQ(delegate->kinds()[0], "error");  // reported at once, before the queued open
  EXPECT_EQ(delegate->events()[0].errorCode, EPERM);
  io->failGet = 0;
}

}  // namespace
}  // namespace velmora
