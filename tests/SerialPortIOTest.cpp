// Port I/O over real ptys: open and close, exclusive use, options and their
// restoration, chunks and back-pressure, a prompt close, modem lines, removal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>

#include <set>
#include <thread>

#include "support/LogCapture.h"
#include "support/ScriptedTerminalIO.h"
#include "support/SerialPortTestSupport.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::RecordingDelegate;
using test::runMainUntil;
using SerialPortIO = test::PortTest;

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

// The real calls, watched: attribute writes (refused on request), reading threads, a foreign reader taking the
// bytes between the loop's wait and read, an open yielding descriptor 0 (as with stdin closed; mapped) or taking
// the process's last descriptor (the limit is lowered to it until the next close).
class SpyIO : public platform::TerminalIO {
 public:
  int open(const char* path, int flags) override {
    const int fd = TerminalIO::open(path, flags);
    if (rlimit last{}; fd >= 0 && lastDescriptor.exchange(false) && ::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
      last = {static_cast<rlim_t>(fd) + 1, limit.rlim_max}, ::setrlimit(RLIMIT_NOFILE, &last);
    }
    return zeroFirst && fd >= 0 ? (real = fd, 0) : fd;
  }
  int duplicate(int fd, int minimum) override { return TerminalIO::duplicate(fd == 0 ? real.load() : fd, minimum); }
  int close(int fd) override {
    if (limit.rlim_max != 0) ::setrlimit(RLIMIT_NOFILE, &limit), limit = {};
    return TerminalIO::close(fd == 0 ? (zeroClosed = true, real.exchange(-1)) : fd);
  }
  int setAttributes(int fd, int actions, const termios* t) override {
    std::lock_guard<std::mutex> g(mutex);
    ++writes;
    if (refuse) return errno = EINVAL, -1;
    if (actions == TCSANOW) written = *t;
    return TerminalIO::setAttributes(fd, actions, t);
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
  std::atomic<bool> refuse{false};
  termios written{};
  std::set<std::thread::id> readers;
  std::atomic<bool> steal{false}, stolen{false}, zeroFirst{false}, zeroClosed{false}, lastDescriptor{false};
  rlimit limit{};  // to restore, while lowered
  std::atomic<int> real{-1};
};

TEST_F(SerialPortIO, OpenAndCloseAnnounceThemselvesOnceAndOpenIsExclusiveAgainstFlockIgnorers) {
  ASSERT_EQ(::chmod(pty.path().c_str(), 0666), 0);
  std::string isOpen;  // observers of "isOpen" hear each change of the descriptor
  auto token = port->addObserver("isOpen", [&](const platform::Change&) { isOpen += port->isOpen() ? '1' : '0'; });
  port->open();
  port->open();  // already open: nothing changes, nothing queued
  EXPECT_EQ(foreignOpenError(pty.path()), EBUSY);
  EXPECT_TRUE(port->close() && port->close());  // already closed: true, nothing queued
  EXPECT_EQ(foreignOpenError(pty.path()), 0);
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("closed") == 1; }));
  platform::RunLoop::main().drain();
  EXPECT_EQ(delegate->kinds(), (std::vector<std::string>{"opened", "closed"}));  // a pty has no modem lines
  EXPECT_TRUE(delegate->allOnMainThread());
  EXPECT_EQ(isOpen, "10");
  port->removeObserver(token);
  auto io = std::make_shared<SpyIO>();  // none left for the wake-up descriptor: no opening, which close() could not end
  io->lastDescriptor = true;
  port->setTerminalIO(io), port->open();
  auto missing = ZPRSerialPort::serialPortWithDevice(pty.device("Missing", "/dev/velmora-no-such-tty"));
  missing->setDelegate(delegate);
  missing->open();  // reported at once on the main thread; nothing else
  platform::RunLoop::main().drain();
  EXPECT_EQ(delegate->kinds(), (std::vector<std::string>{"opened", "closed", "error", "error"}));
  EXPECT_EQ(delegate->events("error")[0].errorCode, EMFILE);
}

TEST_F(SerialPortIO, OptionsAreAppliedOnChangeAndTheOriginalAttributesRestored) {
  termios before{};
  ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
  before.c_cflag |= CRTSCTS;  // the device came with hardware flow control on
  ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &before), 0);
  ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
  auto io = std::make_shared<SpyIO>();  // a pty forces CS8 without parity: parity is read from the writes
  port->setTerminalIO(io);
  port->setBaudRate(57600), port->setParity(2), port->setNumberOfStopBits(2), port->setShouldEchoReceivedData(true);
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
  port->setBaudRate(57600), port->setParity(2), port->setUsesDTRDSRFlowControl(false);
  EXPECT_EQ(io->locked(&SpyIO::writes), writes);
  port->setParity(1), port->setNumberOfStopBits(0), port->setShouldEchoReceivedData(false);
  port->setUsesRTSCTSFlowControl(true);  // closes and reopens
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_EQ(io->locked(&SpyIO::written).c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB | PARODD));
  EXPECT_FALSE(t.c_cflag & CSTOPB || t.c_lflag & ECHO);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("opened") == 2; }));
  EXPECT_EQ(delegate->kinds(), (std::vector<std::string>{"opened", "closed", "opened"}));
  port->setBaudRate(250000);  // not a standard rate: set through termios2 (BOTHER)
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), speed_t{0010000});

  port->close();
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);  // as before the open
  EXPECT_EQ(std::vector<tcflag_t>({t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, cfgetospeed(&t)}),
            std::vector<tcflag_t>({before.c_iflag, before.c_oflag, before.c_cflag, before.c_lflag, cfgetospeed(&before)}));
  port->open();

  test::LogCapture log;
  io->refuse = true;
  port->setParity(0);  // a refused write is only logged
  EXPECT_EQ(log.count("Unable to set options on TestPort: -1"), 1u);
  EXPECT_TRUE(port->isOpen());
  EXPECT_EQ(delegate->count("error"), 0u);
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
  const size_t bound = ZPRSerialPort::kMaximumUndeliveredBytes / (3000 + 3 * ZPRSerialPort::kChunkBookkeepingBytes) + 1;
  ASSERT_TRUE(test::waitUntil([&] { return io->chunksLeft() <= kChunks - bound + 1; }));
  // An unbounded loop would read on: watched for as long as it would take to be sure.
  EXPECT_FALSE(test::waitUntil([&] { return io->chunksLeft() < kChunks - bound - 1; }, 200ms)) << io->chunksLeft();

  ASSERT_TRUE(runMainUntil([&] { return delegate->bytesReceived == sent.size(); }, 30s));
  EXPECT_EQ(delegate->receivedBytes(), sent);
  for (auto& e : delegate->events("data")) ASSERT_TRUE(e.data.size() <= 1024 && e.onMainThread);
  port->close();
  EXPECT_TRUE(runMainUntil([&] { return io->hasNoWaiter(); }));
}

TEST_F(SerialPortIO, CloseIsPromptWhenAnotherReaderTookTheBytesAndAReopenHasOneLoop) {
  auto io = std::make_shared<SpyIO>();
  io->zeroFirst = true;
  port->setTerminalIO(io);
  openAndWait();
  EXPECT_GT(port->fileDescriptor(), 0);
  EXPECT_TRUE(io->zeroClosed);  // 0 means "closed" to the port: the device moved up, 0 released
  io->steal = true;
  pty.write({1, 2, 3});
  ASSERT_TRUE(test::waitUntil([&] { return io->stolen.load(); }));
  std::atomic<bool> closed{false};
  std::thread closer([&] { closed = port->close(); });
  const bool prompt = test::waitUntil([&] { return closed.load(); });
  if (!prompt) pty.write({4});  // a read blocked in the kernel ends only with new bytes
  closer.join();
  ASSERT_TRUE(prompt) << "close() waited for the device";

  port->open();  // the first loop may still be on its way out: only the new one reads
  {
    std::lock_guard<std::mutex> g(io->mutex);
    io->readers.clear();
  }
  std::vector<uint8_t> sent;
  for (uint8_t i = 0; i < 20; ++i) pty.write({i}), sent.push_back(i);
  ASSERT_TRUE(runMainUntil([&] { return delegate->bytesReceived == sent.size(); }));
  EXPECT_EQ(delegate->receivedBytes(), sent);
  EXPECT_EQ(io->locked(&SpyIO::readers).size(), 1u);
}

// The device goes away: the pty hangs up (end of file), a read fails with EIO, or cleanup() says so.
// Or the pty hangs up at baud 0 (the hang-up rate, applied as B0: a pty's data still flows) with a
// request pending and one queued: each times out in turn after the close.
TEST(SerialPortRemoval, ReportsErrorThenRemovalThenCloseOnce) {
  for (int how : {0, 1, 2, 3}) {
    SCOPED_TRACE(how);
    test::Pty pty;
    auto io = std::make_shared<test::ScriptedTerminalIO>();
    auto port = ZPRSerialPort::serialPortWithDevice(pty.device("Gone", how == 1 ? "/test/hang-up" : ""));
    if (how == 1) port->setTerminalIO(io);
    auto delegate = std::make_shared<RecordingDelegate>();
    port->setDelegate(delegate);
    port->open();
    const size_t timeouts = how == 3 ? 2 : 0;
    if (how == 3) {
      port->setBaudRate(0);
      termios t{};
      EXPECT_TRUE(tcgetattr(pty.slave(), &t) == 0 && cfgetospeed(&t) == B0);
      const auto never = [](std::span<const uint8_t>) { return false; };
      for (uint8_t b : {1, 2})
        ASSERT_TRUE(port->sendRequest(ZPRSerialRequest::requestWithDataToSend({b}, {}, 0.2, never)));
      pty.write({0x10, 0x11});
      ASSERT_TRUE(runMainUntil([&] { return delegate->receivedBytes().size() == 2; }));
    }
    test::LogCapture log;
    how == 1 ? io->hangUp() : how == 2 ? port->cleanup() : pty.closeMaster();
    ASSERT_TRUE(runMainUntil([&] { return delegate->count("closed") == 1 && delegate->count("timeout") == timeouts; }));
    EXPECT_FALSE(port->isOpen());
    std::vector<std::string> expected{"opened", "error", "removed", "closed", "timeout", "timeout"};
    expected.resize(4 + timeouts);
    if (how == 2) expected.erase(expected.begin() + 1);  // cleanup() has no error to report
    EXPECT_EQ(delegate->kinds(), expected);
    EXPECT_TRUE(port->pendingRequest() == nullptr && port->requestsQueue().empty());
    if (how < 2) {
      EXPECT_EQ(delegate->events("error")[0].errorCode, how == 0 ? ENXIO : EIO);
    }
    EXPECT_EQ(log.count("Cleanup is deprecated and was never intended to be called publicly. You should update "
                        "your code to avoid calling this method."), how == 2 ? 1u : 0u);
    port->cleanupAfterSystemRemoval();  // the registry's later report is not passed on again
    platform::RunLoop::main().drain();
    EXPECT_EQ(delegate->count("removed"), 1u);
    if (how == 0) {
      port->open();  // the object stays usable; a device that has gone stays gone
      EXPECT_FALSE(port->isOpen());
    }
    std::weak_ptr<ZPRSerialPort> weak = port;  // gone before the next pty may reuse the path
    port.reset();
    EXPECT_TRUE(runMainUntil([&] { return weak.expired(); }));
  }
}

struct NoRemovalCallback : ZPRSerialPortDelegateBase<NoRemovalCallback> {
  void serialPortWasOpened(ZPRSerialPort&) override {}
};

TEST_F(SerialPortIO, WithoutTheRemovalCallbackARemovedPortClosesAtOnce) {
  auto plain = std::make_shared<NoRemovalCallback>();
  port->setDelegate(plain);
  port->open();
  port->cleanupAfterSystemRemoval();
  EXPECT_FALSE(port->isOpen());
}

// Modem lines and ioctl failures, which a pty has not: TIOCMGET/TIOCMSET go to a fake.
struct FakeModemIO : platform::TerminalIO {
  int getModemLines(int, int* bits) override { return failGet ? (errno = failGet, -1) : (*bits = lines, 0); }
  int setModemLines(int, const int* bits) override {  // only the outputs follow a write
    if (failSet) return errno = failSet, -1;
    lines = (lines & ~(TIOCM_RTS | TIOCM_DTR)) | (*bits & (TIOCM_RTS | TIOCM_DTR));
    return 0;
  }
  std::atomic<int> lines{0}, failGet{0}, failSet{0};
};

struct SerialPortModemLines : test::PortTest {
  std::shared_ptr<FakeModemIO> io = std::make_shared<FakeModemIO>();
  SerialPortModemLines() { port->setTerminalIO(io); }
};

TEST_F(SerialPortModemLines, OutputsAreDrivenAndInputChangesSetOnTheMainThread) {
  io->lines = TIOCM_RTS | TIOCM_DTR;  // raised by the system on open; the defaults ask for them low
  std::vector<std::pair<std::string, bool>> changes;  // key, on the main thread (this one: no lock)
  std::vector<platform::Observable::Token> tokens;
  for (const char* key : {"RTS", "CTS", "DSR", "DCD"}) {
    tokens.push_back(port->addObserver(
        key, [&](const platform::Change& c) { changes.emplace_back(c.key, platform::MainQueue::isMainThread()); }));
  }
  openAndWait();
  EXPECT_EQ(io->lines, 0);
  port->setRTS(true), port->setDTR(true);
  EXPECT_EQ(io->lines, TIOCM_RTS | TIOCM_DTR);
  io->lines = TIOCM_CTS;
  ASSERT_TRUE(runMainUntil([&] { return port->CTS(); }));
  io->lines = TIOCM_CAR | TIOCM_DSR;  // in one poll CTS falls as DSR and DCD rise: in the order CTS, DSR, DCD
  ASSERT_TRUE(runMainUntil([&] { return port->DCD(); }));
  for (auto token : tokens) port->removeObserver(token);
  EXPECT_EQ(changes, (std::vector<std::pair<std::string, bool>>{{"RTS", true}, {"RTS", true}, {"RTS", true},
                                                                 {"CTS", true}, {"CTS", true}, {"DSR", true},
                                                                 {"DCD", true}}));  // present, request, set
  EXPECT_EQ(delegate->count("error"), 0u);
  port->close();
  EXPECT_FALSE(port->hasPinPollTimer());
}

TEST_F(SerialPortModemLines, LineFailuresAreReportedAndOnlyENXIORemovesTheDevice) {
  io->failGet = EPERM;  // reported at once by the open, which goes on, then by every poll
  port->open();
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("opened") == 1 && delegate->count("error") >= 3; }));
  EXPECT_EQ(delegate->events()[0].errorCode, EPERM);
  io->failSet = EPERM;
  port->setDTR(true);
  EXPECT_TRUE(port->DTR());  // the request is kept
  io->failGet = ENXIO;
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("closed") == 1; }));
  auto kinds = delegate->kinds();
  EXPECT_EQ(std::vector<std::string>(kinds.end() - 3, kinds.end()), (std::vector<std::string>{"error", "removed", "closed"}));
  EXPECT_EQ(delegate->events("error").back().errorCode, ENXIO);
  EXPECT_TRUE(delegate->allOnMainThread());
  EXPECT_FALSE(port->isOpen() || port->hasPinPollTimer());
}

}  // namespace
}  // namespace velmora
