// Port I/O over real pseudo-terminals: opening and closing, exclusive use,
// the terminal options and their restoration, the read loop's chunks and
// back-pressure, a prompt close, and removal of the device.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>

#include <filesystem>
#include <set>
#include <thread>

#include "support/LogCapture.h"
#include "support/ScriptedTerminalIO.h"
#include "support/SerialPortTestSupport.h"
#include "support/TempPty.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::RecordingDelegate;
using test::runMainUntil;
using SerialPortIO = test::PortTest;

TEST_F(SerialPortIO, OpenAndCloseAnnounceThemselvesOnceOnTheMainThread) {
  std::vector<bool> openChanges;
  auto token = port->addObserver("isOpen", [&](const platform::Change&) { openChanges.push_back(port->isOpen()); });
  port->open();
  const int fd = port->fileDescriptor();
  port->open();  // already open: nothing changes, nothing queued
  EXPECT_EQ(port->fileDescriptor(), fd);
  EXPECT_TRUE(port->close());
  EXPECT_TRUE(port->close());  // already closed: true, nothing queued
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("closed") == 1; }));
  platform::RunLoop::main().drain();
  EXPECT_EQ(delegate->kinds(), (std::vector<std::string>{"opened", "closed"}));  // a pty has no modem lines
  EXPECT_TRUE(delegate->allOnMainThread());
  EXPECT_EQ(openChanges, (std::vector<bool>{true, false}));
  port->removeObserver(token);

  auto missing = ZPRSerialPort::serialPortWithDevice(pty.device("Missing", "/dev/velmora-no-such-tty"));
  missing->setDelegate(delegate);
  missing->open();  // reported at once on the main thread; nothing else
  platform::RunLoop::main().drain();
  EXPECT_FALSE(missing->isOpen());
  ASSERT_EQ(delegate->kinds(), (std::vector<std::string>{"opened", "closed", "error"}));
  EXPECT_EQ(delegate->events("error")[0].errorCode, ENOENT);
  EXPECT_EQ(delegate->lastErrorPath, "/dev/velmora-no-such-tty");
}

// The errno of an open of `path` by a process without privileges (nobody,
// when run as root: root passes TIOCEXCL), 0 if it succeeded.
int foreignOpenError(const std::string& path) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0 && ::setuid(65534) != 0) ::_exit(255);
    ::_exit(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) >= 0 ? 0 : errno);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(SerialPortIO, ExclusiveUseRefusesOtherPortsAndProgramsThatIgnoreFlock) {
  ASSERT_EQ(::chmod(pty.path().c_str(), 0666), 0);
  test::TempDir dir;  // another device entry for the same tty
  std::filesystem::create_symlink(pty.path(), dir.path() + "/tty.Alias");
  auto alias = ZPRSerialPort::serialPortWithDevice(pty.device("Alias", dir.path() + "/tty.Alias"));
  auto aliasDelegate = std::make_shared<RecordingDelegate>();
  alias->setDelegate(aliasDelegate);
  openAndWait();
  alias->open();
  EXPECT_FALSE(alias->isOpen());
  ASSERT_EQ(aliasDelegate->count("error"), 1u);
  EXPECT_TRUE(aliasDelegate->events()[0].errorCode == EWOULDBLOCK || aliasDelegate->events()[0].errorCode == EBUSY);
  EXPECT_EQ(foreignOpenError(pty.path()), EBUSY);
  port->close();  // once the port lets go, both may open
  EXPECT_EQ(foreignOpenError(pty.path()), 0);
  alias->open();
  EXPECT_TRUE(alias->isOpen());
  alias->close();
}

// The real calls, watched: attribute writes (refused on request), the
// threads that read, and a reader of the same tty that ignores flock and
// takes the bytes between the read loop's wait and its read.
class SpyIO : public platform::TerminalIO {
 public:
  int setAttributes(int fd, int actions, const termios* t) override {
    std::lock_guard<std::mutex> g(mutex);
    ++writes;
    if (refuse) return errno = EINVAL, -1;
    if (actions == TCSANOW) written = *t;
    return TerminalIO::setAttributes(fd, actions, t);
  }
  int setArbitrarySpeed(int fd, unsigned int rate) override {
    arbitraryRate = rate;
    return TerminalIO::setArbitrarySpeed(fd, rate);
  }
  ssize_t read(int fd, void* buffer, size_t count) override {
    char taken[64];
    if (steal.exchange(false)) stolen = TerminalIO::read(fd, taken, sizeof taken) > 0;
    std::lock_guard<std::mutex> g(mutex);
    readers.insert(std::this_thread::get_id());
    return TerminalIO::read(fd, buffer, count);
  }
  template <typename T>
  T locked(T SpyIO::*field) {
    std::lock_guard<std::mutex> g(mutex);
    return this->*field;
  }
  std::mutex mutex;
  int writes = 0;
  bool refuse = false;
  termios written{};
  std::set<std::thread::id> readers;
  std::atomic<unsigned> arbitraryRate{0};
  std::atomic<bool> steal{false}, stolen{false};
};

TEST_F(SerialPortIO, OptionsAreAppliedOnChangeAndTheOriginalAttributesRestored) {
  termios before{};
  ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
  before.c_cflag |= CRTSCTS;  // the device came with hardware flow control on
  ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &before), 0);
  ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
  auto io = std::make_shared<SpyIO>();  // a pty forces CS8 without parity: parity is read from the writes
  port->setTerminalIO(io);
  port->setBaudRate(57600);
  port->setParity(2);
  port->setNumberOfStopBits(2);
  port->setShouldEchoReceivedData(true);
  openAndWait();
  termios t{};
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_FALSE(t.c_lflag & (ICANON | ISIG) || t.c_oflag & OPOST);
  EXPECT_EQ(io->locked(&SpyIO::written).c_cflag & (CSIZE | PARENB | PARODD), static_cast<tcflag_t>(CS8 | PARENB));
  EXPECT_TRUE(t.c_cflag & CSTOPB && t.c_lflag & ECHO);
  EXPECT_FALSE(t.c_cflag & CRTSCTS) << "not asked for: off, whatever the device had";
  EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL | HUPCL), static_cast<tcflag_t>(CREAD | CLOCAL | HUPCL));
  EXPECT_EQ(std::make_pair(t.c_cc[VMIN], t.c_cc[VTIME]), std::make_pair(cc_t{1}, cc_t{2}));
  EXPECT_EQ(std::make_pair(cfgetospeed(&t), cfgetispeed(&t)), std::make_pair(speed_t{B57600}, speed_t{B57600}));

  // Setting stored values touches nothing; changes reach the device at once.
  const int writes = io->locked(&SpyIO::writes);
  port->setBaudRate(57600);
  port->setParity(2);
  port->setNumberOfStopBits(2);
  port->setUsesDTRDSRFlowControl(false);
  EXPECT_EQ(io->locked(&SpyIO::writes), writes);
  port->setParity(1);
  port->setNumberOfStopBits(0);
  port->setShouldEchoReceivedData(false);
  port->setUsesRTSCTSFlowControl(true);  // closes and reopens
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_EQ(io->locked(&SpyIO::written).c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB | PARODD));
  EXPECT_FALSE(t.c_cflag & CSTOPB || t.c_lflag & ECHO);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("opened") == 2; }));
  EXPECT_EQ(delegate->kinds(), (std::vector<std::string>{"opened", "closed", "opened"}));
  port->setBaudRate(250000);  // not a standard rate: termios2
  EXPECT_EQ(io->arbitraryRate, 250000u);

  port->close();
  termios after{};
  ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
  EXPECT_EQ(std::vector<tcflag_t>({after.c_iflag, after.c_oflag, after.c_cflag, after.c_lflag}),
            std::vector<tcflag_t>({before.c_iflag, before.c_oflag, before.c_cflag, before.c_lflag}));
  port->setBaudRate(115200);  // while closed only stored; the next open applies it
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), cfgetospeed(&before));
  port->open();
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), speed_t{B115200});

  test::LogCapture log;
  {
    std::lock_guard<std::mutex> g(io->mutex);
    io->refuse = true;
  }
  port->setParity(0);  // a refused write is only logged
  EXPECT_EQ(log.count("Unable to set options on TestPort: -1"), 1u);
  EXPECT_TRUE(port->isOpen());
  EXPECT_EQ(delegate->count("error"), 0u);
}

// Hands the device over as descriptor 0, as open() does when standard input
// is closed; the 0 is mapped to the real descriptor here.
class ZeroFirstIO : public platform::TerminalIO {
 public:
  int open(const char* path, int flags) override { return (real = TerminalIO::open(path, flags)) < 0 ? -1 : 0; }
  int duplicate(int fd, int minimum) override { return TerminalIO::duplicate(fd == 0 ? real.load() : fd, minimum); }
  int close(int fd) override { return TerminalIO::close(fd == 0 ? (zeroClosed = true, real.exchange(-1)) : fd); }
  std::atomic<int> real{-1};
  std::atomic<bool> zeroClosed{false};
};

TEST_F(SerialPortIO, ADescriptorOfZeroIsMovedUpAndNotLeaked) {
  auto io = std::make_shared<ZeroFirstIO>();
  port->setTerminalIO(io);
  port->open();
  EXPECT_GT(port->fileDescriptor(), 0);
  EXPECT_TRUE(io->zeroClosed);
  pty.write({42});
  EXPECT_TRUE(runMainUntil([&] { return delegate->receivedBytes() == std::vector<uint8_t>{42}; }));
}

TEST(SerialPortRead, ChunksOfAtMost1024ArriveInOrderAndTheLoopWaitsForTheMainThread) {
  auto io = std::make_shared<test::ScriptedTerminalIO>();
  auto port = test::virtualPort("/test/flood");
  auto delegate = std::make_shared<RecordingDelegate>();
  port->setTerminalIO(io);
  port->setDelegate(delegate);
  port->open();
  constexpr size_t kChunks = 1000;  // of 3000 bytes: reads of 1024, 1024, 952
  std::vector<uint8_t> sent;
  for (size_t i = 0; i < kChunks; ++i) {
    auto chunk = test::bytesCounting(3000, static_cast<uint8_t>(i));
    sent.insert(sent.end(), chunk.begin(), chunk.end());
    io->queueChunk(std::move(chunk));
  }
  // The main loop does not run: the loop reads up to the bound and stops.
  const size_t costPerChunk = 3000 + 3 * ZPRSerialPort::kChunkBookkeepingBytes;
  const size_t bound = ZPRSerialPort::kMaximumUndeliveredBytes / costPerChunk + 1;
  ASSERT_TRUE(test::waitUntil([&] { return io->chunksLeft() <= kChunks - bound + 1; }));
  std::this_thread::sleep_for(200ms);  // time in which an unbounded loop would read on
  EXPECT_GE(io->chunksLeft(), kChunks - bound - 1);

  ASSERT_TRUE(runMainUntil([&] { return delegate->bytesReceived == sent.size(); }, 30s));
  EXPECT_EQ(delegate->receivedBytes(), sent);
  for (auto& e : delegate->events("data")) ASSERT_TRUE(e.data.size() <= 1024 && e.onMainThread);
  port->close();
  EXPECT_TRUE(runMainUntil([&] { return io->hasNoWaiter(); }));
}

TEST_F(SerialPortIO, CloseReturnsPromptlyWhenAnotherReaderTookTheBytes) {
  auto io = std::make_shared<SpyIO>();
  port->setTerminalIO(io);
  openAndWait();
  io->steal = true;
  pty.write({1, 2, 3});
  ASSERT_TRUE(test::waitUntil([&] { return io->stolen.load(); }));
  std::atomic<bool> closed{false};
  std::thread closer([&] { closed = port->close(); });
  const bool prompt = test::waitUntil([&] { return closed.load(); });
  if (!prompt) pty.write({4});  // a read blocked in the kernel ends only with new bytes
  closer.join();
  EXPECT_TRUE(prompt) << "close() waited for the device";
}

TEST_F(SerialPortIO, AQuickCloseAndReopenLeavesOneLoopReading) {
  auto io = std::make_shared<SpyIO>();
  port->setTerminalIO(io);
  openAndWait();
  port->close();
  port->open();  // the first loop may still be on its way out
  std::vector<uint8_t> sent;
  for (uint8_t i = 0; i < 20; ++i) {
    pty.write({i});
    sent.push_back(i);
  }
  ASSERT_TRUE(runMainUntil([&] { return delegate->bytesReceived == sent.size(); }));
  EXPECT_EQ(delegate->receivedBytes(), sent);
  EXPECT_EQ(io->locked(&SpyIO::readers).size(), 1u);
}

struct NoRemovalCallback : ZPRSerialPortDelegateBase<NoRemovalCallback> {
  void serialPortWasOpened(ZPRSerialPort&) override {}
};

// The device goes away: the pty hangs up (a read yields end of file), or a
// read fails with EIO, or the registry says so (cleanup()).
TEST(SerialPortRemoval, ReportsErrorThenRemovalThenCloseOnce) {
  for (int how : {0, 1, 2}) {
    SCOPED_TRACE(how);
    test::Pty pty;
    auto io = std::make_shared<test::ScriptedTerminalIO>();
    auto port = ZPRSerialPort::serialPortWithDevice(pty.device("Gone", how == 1 ? "/test/hang-up" : ""));
    if (how == 1) port->setTerminalIO(io);
    auto delegate = std::make_shared<RecordingDelegate>();
    port->setDelegate(delegate);
    port->open();
    test::LogCapture log;
    how == 0 ? pty.closeMaster() : how == 1 ? io->hangUp() : port->cleanup();
    ASSERT_TRUE(runMainUntil([&] { return delegate->count("closed") == 1; }));
    EXPECT_FALSE(port->isOpen());
    const std::vector<std::string> reported{"opened", "error", "removed", "closed"}, cleanedUp{"opened", "removed", "closed"};
    EXPECT_EQ(delegate->kinds(), how == 2 ? cleanedUp : reported);
    if (how < 2) {
      EXPECT_EQ(delegate->events("error")[0].errorCode, how == 0 ? ENXIO : EIO);
    }
    EXPECT_EQ(log.count("Cleanup is deprecated and was never intended to be called publicly. You should update "
                        "your code to avoid calling this method."),
              how == 2 ? 1u : 0u);
    port->cleanupAfterSystemRemoval();  // the registry's later report is not passed on again
    platform::RunLoop::main().drain();
    EXPECT_EQ(delegate->count("removed"), 1u);
    std::weak_ptr<ZPRSerialPort> weak = port;  // gone before the next pty may reuse the path
    port.reset();
    EXPECT_TRUE(runMainUntil([&] { return weak.expired(); }));
  }
}

TEST(SerialPortRemoval, WithoutTheRemovalCallbackThePortClosesAtOnce) {
  test::Pty pty;
  auto port = ZPRSerialPort::serialPortWithDevice(pty.device("Plain"));
  auto delegate = std::make_shared<NoRemovalCallback>();
  port->setDelegate(delegate);
  port->open();
  port->cleanupAfterSystemRemoval();
  EXPECT_FALSE(port->isOpen());
  pty.closeMaster();
  port->open();  // the object stays usable; the device is gone for good
  EXPECT_FALSE(port->isOpen());
}

}  // namespace
}  // namespace velmora
