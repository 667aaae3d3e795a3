// Modem lines and the ioctl failures a pseudo-terminal cannot produce: the
// data still flows through a real pty, while TIOCMGET/TIOCMSET go to a fake.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include "support/SerialPortTestSupport.h"

namespace velmora {
namespace {

using test::runMainUntil;

class FakeModemIO : public platform::TerminalIO {
 public:
  int getModemLines(int, int* bits) override {
    if (int err = failGet.load()) return errno = err, -1;
    *bits = lines;
    return 0;
  }
  int setModemLines(int, const int* bits) override {  // only the outputs follow a write
    if (int err = failSet.load()) return errno = err, -1;
    lines = (lines & ~(TIOCM_RTS | TIOCM_DTR)) | (*bits & (TIOCM_RTS | TIOCM_DTR));
    return 0;
  }
  std::atomic<int> lines{0};
  std::atomic<int> failGet{0};
  std::atomic<int> failSet{0};
};

struct SerialPortModemLines : test::PortTest {
  std::shared_ptr<FakeModemIO> io = std::make_shared<FakeModemIO>();
  SerialPortModemLines() { port->setTerminalIO(io); }
};

TEST_F(SerialPortModemLines, OpenDrivesTheOutputsToTheRequestedLevels) {
  io->lines = TIOCM_RTS | TIOCM_DTR;  // the system raised both on open; the defaults ask for them low
  std::vector<std::string> changes;
  auto token = port->addObserver("RTS", [&](const platform::Change& c) { changes.push_back(c.key); });
  openAndWait();
  EXPECT_EQ(io->lines & (TIOCM_RTS | TIOCM_DTR), 0);
  EXPECT_FALSE(port->RTS() || port->DTR());
  EXPECT_TRUE(port->hasPinPollTimer());
  EXPECT_EQ(changes, (std::vector<std::string>{"RTS", "RTS"}));  // the present level, then the request
  port->removeObserver(token);

  port->setRTS(true);
  port->setDTR(true);
  EXPECT_EQ(io->lines, TIOCM_RTS | TIOCM_DTR);
  port->setRTS(false);
  EXPECT_EQ(io->lines, TIOCM_DTR);

  port->close();
  EXPECT_FALSE(port->hasPinPollTimer());
  port->setRTS(true);  // while closed only stored, applied by the next open
  EXPECT_EQ(io->lines & TIOCM_RTS, 0);
  port->open();
  EXPECT_EQ(io->lines & TIOCM_RTS, TIOCM_RTS);
  EXPECT_EQ(delegate->count("error"), 0u);
}

TEST_F(SerialPortModemLines, InputLineChangesAreSeenAndSetOnTheMainThread) {
  openAndWait();
  std::mutex mutex;
  std::vector<std::pair<std::string, bool>> changes;  // key, on the main thread
  std::vector<platform::Observable::Token> tokens;
  for (const char* key : {"CTS", "DSR", "DCD"}) {
    tokens.push_back(port->addObserver(key, [&](const platform::Change& c) {
      std::lock_guard<std::mutex> g(mutex);
      changes.emplace_back(c.key, platform::MainQueue::isMainThread());
    }));
  }
  io->lines = TIOCM_CTS;
  ASSERT_TRUE(runMainUntil([&] { return port->CTS(); }));
  io->lines = TIOCM_CTS | TIOCM_CAR;
  ASSERT_TRUE(runMainUntil([&] { return port->DCD(); }));
  io->lines = TIOCM_CAR | TIOCM_DSR;  // in one step: CTS falls as DSR rises, CTS handled first
  ASSERT_TRUE(runMainUntil([&] { return port->DSR() && !port->CTS(); }));
  for (auto token : tokens) port->removeObserver(token);
  std::lock_guard<std::mutex> g(mutex);
  EXPECT_EQ(changes, (std::vector<std::pair<std::string, bool>>{
                         {"CTS", true}, {"DCD", true}, {"CTS", true}, {"DSR", true}}));  // unchanged lines: nothing
}

TEST_F(SerialPortModemLines, LineFailuresOtherThanRemovalAreReportedAndThePortStaysOpen) {
  io->failGet = EPERM;  // the open cannot read the lines: reported at once, the open goes on
  port->open();
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("opened") == 1 && delegate->count("error") >= 3; }));
  EXPECT_EQ(delegate->kinds()[0], "error");  // then every poll reports again
  EXPECT_EQ(delegate->events()[0].errorCode, EPERM);
  io->failGet = 0;
  io->lines = TIOCM_CTS;
  ASSERT_TRUE(runMainUntil([&] { return port->CTS(); }));

  const size_t errors = delegate->count("error");
  io->failSet = EPERM;
  port->setDTR(true);
  EXPECT_TRUE(port->DTR());  // the request is kept
  ASSERT_EQ(delegate->count("error"), errors + 1);
  EXPECT_TRUE(port->isOpen());
  EXPECT_EQ(delegate->count("removed"), 0u);
}

TEST_F(SerialPortModemLines, ENXIOFromThePollIsHandledAsRemovalInOrder) {
  openAndWait();
  io->failGet = ENXIO;
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("closed") == 1; }));
  EXPECT_EQ(delegate->kinds(), (std::vector<std::string>{"opened", "error", "removed", "closed"}));
  EXPECT_EQ(delegate->events("error")[0].errorCode, ENXIO);
  EXPECT_TRUE(delegate->allOnMainThread());
  EXPECT_FALSE(port->isOpen() || port->hasPinPollTimer());
}

}  // namespace
}  // namespace velmora
