// Port I/O over real pseudo-terminals: opening and closing with their
// callbacks, exclusive use, the terminal options and their restoration, the
// read loop's chunks, flow-control reopening and removal of the device.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "ZPRSerialPort.h"
#include "platform/TerminalIO.h"
#include "support/LogCapture.h"
#include "support/SerialPortTestSupport.h"
#include "support/TempPty.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::Pty;
using test::RecordingDelegate;
using test::runMainUntil;

struct PortFixture : ::testing::Test {
  Pty pty;
  std::shared_ptr<ZPRSerialPort> port = ZPRSerialPort::serialPortWithDevice(pty.device("TestPort"));
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();

  PortFixture() { port->setDelegate(delegate); }
  ~PortFixture() override {
    // Let the read loop see the close, so no open port outlives the test.
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
    ASSERT_TRUE(runMainUntil([&] { return delegate->count("opened") >= 1; }));
  }
};

using SerialPortOpenClose = PortFixture;

TEST_F(SerialPortOpenClose, OpenAndCloseAnnounceThemselvesOnceOnTheMainThread) {
  std::vector<std::string> openChanges;
  auto token = port->addObserver("isOpen",
                                 [&](const platform::Change&) { openChanges.push_back(port->isOpen() ? "1" : "0"); });

  port->open();
  EXPECT_TRUE(port->isOpen());
  EXPECT_GT(port->fileDescriptor(), 0);
  const int fd = port->fileDescriptor();
  port->open();  // already open: nothing changes, nothing queued
  EXPECT_EQ(port->fileDescriptor(), fd);
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("opened") == 1; }));

  EXPECT_TRUE(port->close());
  EXPECT_FALSE(port->isOpen());
  EXPECT_EQ(port->fileDescriptor(), 0);
  EXPECT_TRUE(port->close());  // already closed: true, nothing queued
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("closed") == 1; }));

  // A pseudo-terminal has no modem lines: nothing is reported for them and
  // no poll runs.
  EXPECT_EQ(delegate->kinds(), (std::vector<std::string>{"opened", "closed"}));
  EXPECT_TRUE(delegate->allOnMainThread());
  EXPECT_EQ(openChanges, (std::vector<std::string>{"1", "0"}));
  port->removeObserver(token);

  // The port opens again after a close.
  port->open();
  EXPECT_TRUE(port->isOpen());
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("opened") == 2; }));
}

TEST_F(SerialPortOpenClose, AFailedOpenReportsOneErrorAndStaysClosed) {
  auto missing = ZPRSerialPort::serialPortWithDevice(pty.device("Missing", "/dev/velmora-no-such-tty"));
  auto missingDelegate = std::make_shared<RecordingDelegate>();
  missing->setDelegate(missingDelegate);
  missing->open();
  EXPECT_FALSE(missing->isOpen());
  ASSERT_EQ(missingDelegate->count("error"), 1u);  // on the main thread: reported at once
  EXPECT_EQ(missingDelegate->events()[0].errorCode, ENOENT);
  EXPECT_EQ(missingDelegate->lastErrorPath, "/dev/velmora-no-such-tty");
  // Nothing else is queued either.
  platform::RunLoop::main().drain();
  EXPECT_EQ(missingDelegate->kinds(), std::vector<std::string>{"error"});
}

TEST_F(SerialPortOpenClose, ASecondOpenerOfTheDeviceIsRefused) {
  // Two device entries naming the same tty give two port objects.
  test::TempDir dir;
  const std::string link = dir.path() + "/tty.Alias";
  std::filesystem::create_symlink(pty.path(), link);
  auto alias = ZPRSerialPort::serialPortWithDevice(pty.device("Alias", link));
  ASSERT_NE(alias, port);
  auto aliasDelegate = std::make_shared<RecordingDelegate>();
  alias->setDelegate(aliasDelegate);

  openAndWait();
  alias->open();
  EXPECT_FALSE(alias->isOpen());
  ASSERT_EQ(aliasDelegate->count("error"), 1u);
  EXPECT_EQ(aliasDelegate->events()[0].errorCode, EWOULDBLOCK);

  // Once the first lets go, the second may open.
  port->close();
  alias->open();
  EXPECT_TRUE(alias->isOpen());
  alias->close();
  ASSERT_TRUE(runMainUntil([&] { return aliasDelegate->count("closed") == 1; }));
}

// Counts the attribute writes, to see which setters touch the device.
class CountingIO : public platform::TerminalIO {
 public:
  int setAttributes(int fd, int actions, const termios* t) override {
    ++writes;
    if (actions == TCSANOW) {
      std::lock_guard<std::mutex> g(mutex);
      lastWritten = *t;
    }
    return TerminalIO::setAttributes(fd, actions, t);
  }
  termios written() {
    std::lock_guard<std::mutex> g(mutex);
    return lastWritten;
  }
  int setArbitrarySpeed(int fd, unsigned int rate) override {
    arbitraryRate = rate;
    return TerminalIO::setArbitrarySpeed(fd, rate);
  }
  std::atomic<int> writes{0};
  std::atomic<unsigned> arbitraryRate{0};
  std::mutex mutex;
  termios lastWritten{};
};

TEST_F(SerialPortOpenClose, OptionsAreAppliedAndTheOriginalAttributesRestored) {
  termios before{};
  ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
  ASSERT_TRUE(before.c_lflag & ICANON);  // a fresh pty is cooked
  // A pty forces CS8 without parity whatever it is given, so parity is read
  // from what the port wrote.
  auto io = std::make_shared<CountingIO>();
  port->setTerminalIO(io);

  port->setBaudRate(57600);
  port->setParity(2);
  port->setNumberOfStopBits(2);
  port->setShouldEchoReceivedData(true);
  port->setUsesRTSCTSFlowControl(true);
  openAndWait();

  termios t{};
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_FALSE(t.c_lflag & (ICANON | ISIG));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(io->written().c_cflag & PARENB);
  EXPECT_FALSE(io->written().c_cflag & PARODD);
  EXPECT_EQ(io->written().c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_lflag & ECHO);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_TRUE((t.c_cflag & (CREAD | CLOCAL | HUPCL)) == (CREAD | CLOCAL | HUPCL));
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 2);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B57600));

  // Changes while open reach the device at once.
  port->setParity(1);
  port->setNumberOfStopBits(0);
  port->setShouldEchoReceivedData(false);
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_TRUE((io->written().c_cflag & (PARENB | PARODD)) == (PARENB | PARODD));
  EXPECT_FALSE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_lflag & ECHO);

  ASSERT_TRUE(port->originalPortAttributes().has_value());
  EXPECT_EQ(port->originalPortAttributes()->c_lflag, before.c_lflag);

  port->close();
  termios after{};
  ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));

  // While closed an option is only stored; the next open applies it.
  port->setBaudRate(115200);
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), cfgetospeed(&before));
  port->open();
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
}

TEST_F(SerialPortOpenClose, SettingTheStoredValueDoesNotTouchTheDevice) {
  auto io = std::make_shared<CountingIO>();
  port->setTerminalIO(io);
  openAndWait();
  const int afterOpen = io->writes;
  EXPECT_GT(afterOpen, 0);

  port->setBaudRate(19200);
  port->setParity(0);
  port->setParity(9);
  port->setNumberOfStopBits(1);
  port->setShouldEchoReceivedData(false);
  port->setUsesDTRDSRFlowControl(false);
  EXPECT_EQ(io->writes, afterOpen);

  port->setBaudRate(38400);
  EXPECT_EQ(io->writes, afterOpen + 1);

  // A rate that cfsetspeed does not know goes through termios2.
  test::LogCapture log;
  port->setBaudRate(250000);
  EXPECT_EQ(io->arbitraryRate, 250000u);
  EXPECT_EQ(port->baudRate(), 250000u);
  EXPECT_TRUE(log.lines().empty());  // the pty took it
}

// Refuses every attribute write.
class RefusingIO : public platform::TerminalIO {
 public:
  int setAttributes(int, int, const termios*) override {
    errno = EINVAL;
    return -1;
  }
};

TEST_F(SerialPortOpenClose, AnOptionWriteThatFailsIsOnlyLogged) {
  port->setTerminalIO(std::make_shared<RefusingIO>());
  test::LogCapture log;
  openAndWait();
  EXPECT_EQ(log.count("Unable to set options on TestPort: -1"), 1u);
  port->setParity(1);
  EXPECT_EQ(log.count("Unable to set options on TestPort: -1"), 2u);
  EXPECT_TRUE(port->isOpen());
  EXPECT_EQ(delegate->count("error"), 0u);
}

// Hands the device over as descriptor 0, as open() does when standard input
// is closed.  The 0 is virtual (mapped to the real descriptor here), so the
// process's own descriptor 0 is never touched.
class ZeroFirstIO : public platform::TerminalIO {
 public:
  int open(const char* path, int flags) override {
    int fd = TerminalIO::open(path, flags);
    if (fd < 0) return fd;
    real = fd;
    return 0;
  }
  int duplicate(int fd, int minimum) override { return TerminalIO::duplicate(fd == 0 ? real.load() : fd, minimum); }
  int close(int fd) override {
    if (fd != 0) return TerminalIO::close(fd);
    zeroClosed = true;
    return TerminalIO::close(real.exchange(-1));
  }
  std::atomic<int> real{-1};
  std::atomic<bool> zeroClosed{false};
};

TEST_F(SerialPortOpenClose, ADescriptorOfZeroIsMovedUpAndNotLeaked) {
  auto io = std::make_shared<ZeroFirstIO>();
  port->setTerminalIO(io);
  port->open();
  EXPECT_TRUE(port->isOpen());
  EXPECT_GT(port->fileDescriptor(), 0);
  EXPECT_TRUE(io->zeroClosed);  // the original descriptor was released at once
  pty.write({42});
  EXPECT_TRUE(runMainUntil([&] { return delegate->receivedBytes() == std::vector<uint8_t>{42}; }));
  port->close();
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("closed") == 1; }));
}

TEST_F(SerialPortOpenClose, ThreeThousandBytesArriveInOrderInChunksOfAtMost1024) {
  openAndWait();
  auto bytes = test::bytesCounting(3000);
  pty.write(bytes);
  ASSERT_TRUE(runMainUntil([&] { return delegate->receivedBytes().size() >= bytes.size(); }));
  EXPECT_EQ(delegate->receivedBytes(), bytes);
  size_t chunks = 0;
  for (auto& e : delegate->events()) {
    if (e.kind != "data") continue;
    ++chunks;
    EXPECT_GE(e.data.size(), 1u);
    EXPECT_LE(e.data.size(), 1024u);
    EXPECT_TRUE(e.onMainThread);
  }
  EXPECT_GE(chunks, 3u);
}

TEST_F(SerialPortOpenClose, UnpluggingReportsErrorThenRemovalThenCloseOnce) {
  openAndWait();
  pty.write({9, 8, 7});
  ASSERT_TRUE(runMainUntil([&] { return delegate->receivedBytes().size() == 3; }));
  pty.closeMaster();
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("closed") == 1; }));
  EXPECT_FALSE(port->isOpen());
  EXPECT_EQ(delegate->kinds(), (std::vector<std::string>{"opened", "error", "removed", "closed"}));
  auto events = delegate->events();
  auto error = std::find_if(events.begin(), events.end(), [](auto& e) { return e.kind == "error"; });
  EXPECT_TRUE(error->errorCode == EIO || error->errorCode == ENXIO) << error->errorCode;
  EXPECT_TRUE(delegate->allOnMainThread());

  // The object stays usable; the device is gone for good.
  port->open();
  EXPECT_FALSE(port->isOpen());
}

struct NoRemovalCallback : ZPRSerialPortDelegateBase<NoRemovalCallback> {
  void serialPortWasOpened(ZPRSerialPort&) override { ++opened; }
  void serialPortWasClosed(ZPRSerialPort&) override { ++closed; }
  std::atomic<int> opened{0};
  std::atomic<int> closed{0};
};

TEST(SerialPortRemoval, ADelegateWithoutTheRemovalCallbackStillSeesTheClose) {
  Pty pty;
  auto port = ZPRSerialPort::serialPortWithDevice(pty.device("Plain"));
  auto delegate = std::make_shared<NoRemovalCallback>();
  port->setDelegate(delegate);
  port->open();
  ASSERT_TRUE(runMainUntil([&] { return delegate->opened == 1; }));
  pty.closeMaster();
  ASSERT_TRUE(runMainUntil([&] { return delegate->closed == 1; }));
  EXPECT_FALSE(port->isOpen());
}

TEST(SerialPortRemoval, CleanupLogsItsDeprecationAndClosesThePort) {
  Pty pty;
  auto port = ZPRSerialPort::serialPortWithDevice(pty.device("Cleanup"));
  auto delegate = std::make_shared<RecordingDelegate>();
  port->setDelegate(delegate);
  test::LogCapture log;
  port->open();
  port->cleanup();
  EXPECT_TRUE(log.contains(
      "Cleanup is deprecated and was never intended to be called publicly. You should update your code to avoid "
      "calling this method."));
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("closed") == 1; }));
  EXPECT_EQ(delegate->kinds(), (std::vector<std::string>{"opened", "removed", "closed"}));
}

// Records which threads read each descriptor, to see that an opening is read
// by its own loop only.
class ReaderTrackingIO : public platform::TerminalIO {
 public:
  ssize_t read(int fd, void* buffer, size_t count) override {
    {
      std::lock_guard<std::mutex> g(mutex);
      if (tracking) readers.insert(std::this_thread::get_id());
    }
    return TerminalIO::read(fd, buffer, count);
  }
  std::mutex mutex;
  bool tracking = false;
  std::set<std::thread::id> readers;
};

TEST_F(SerialPortOpenClose, AQuickCloseAndReopenLeavesOneLoopReading) {
  auto io = std::make_shared<ReaderTrackingIO>();
  port->setTerminalIO(io);
  openAndWait();
  port->close();
  port->open();  // the first loop may still be waiting on the old descriptor
  {
    std::lock_guard<std::mutex> g(io->mutex);
    io->tracking = true;
  }
  std::vector<uint8_t> sent;
  for (uint8_t i = 0; i < 20; ++i) {
    pty.write({i});
    sent.push_back(i);
  }
  ASSERT_TRUE(runMainUntil([&] { return delegate->receivedBytes().size() == sent.size(); }));
  EXPECT_EQ(delegate->receivedBytes(), sent);
  std::lock_guard<std::mutex> g(io->mutex);
  EXPECT_EQ(io->readers.size(), 1u);
}

}  // namespace
}  // namespace velmora
