// Test support: runs the `velmora` tool (VELMORA_TOOL_PATH) as a user does, to
// follow its stdout and stderr with deadlines, signal it, close its reader and
// collect its exit status; run() does it all for a command that ends itself.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace velmora::test {

class ToolProcess {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts VELMORA_TOOL_PATH with `args` and the test's environment plus
  // `extraEnv` ("NAME=value"), stdin from `stdinPath` (nullptr: closed),
  // stdout to `stdoutFd` if given (a terminal, /dev/full, a pipe nobody
  // reads) instead of the pipe stdoutLine() reads, and stderr to `stderrFd`
  // if given.
  explicit ToolProcess(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {},
                       int stdoutFd = -1, const char* stdinPath = "/dev/null", int stderrFd = -1) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdinPath != nullptr) posix_spawn_file_actions_addopen(&actions, 0, stdinPath, O_RDONLY, 0);
    if (stdinPath == nullptr) posix_spawn_file_actions_addclose(&actions, 0);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd >= 0 ? stdoutFd : out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, stderrFd >= 0 ? stderrFd : err[1], 2);
    std::vector<std::string> strings{VELMORA_TOOL_PATH};
    strings.insert(strings.end(), args.begin(), args.end());
    const size_t envAt = strings.size();
    for (char** e = environ; *e != nullptr; ++e) strings.emplace_back(*e);
    strings.insert(strings.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> argv, envp;
    for (size_t i = 0; i < strings.size(); ++i) (i < envAt ? argv : envp).push_back(strings[i].data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const int rc = posix_spawn(&pid_, VELMORA_TOOL_PATH, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
    if (rc != 0) throw std::runtime_error("posix_spawn failed");
  }
  ~ToolProcess() {
    if (!status_ && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
    if (out_ >= 0) ::close(out_);
    ::close(err_);
  }
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  // The next line of stdout; none if none came by `deadline`.
  std::optional<std::string> stdoutLine(Clock::time_point deadline) {
    size_t at;
    while ((at = outBuffer_.find('\n')) == std::string::npos) {
      readSome(err_, stderrText_, Clock::now());  // the child must never block on a full stderr
      const auto until = std::min(deadline, Clock::now() + std::chrono::milliseconds(50));
      if (Clock::now() >= deadline || readSome(out_, outBuffer_, until) < 0) return std::nullopt;
    }
    std::string line = outBuffer_.substr(0, at);
    outBuffer_.erase(0, at + 1);
    return line;
  }
  // Reads stderr until a line containing `text` has come; false on timeout.
  bool waitForStderr(const std::string& text, Clock::time_point deadline) {
    return readUntil(err_, stderrText_, text, deadline);
  }
  // Reads `fd` into `into` until it holds `text`; false on timeout or end.
  static bool readUntil(int fd, std::string& into, const std::string& text, Clock::time_point deadline) {
    while (into.find(text) == std::string::npos) {
      if (readSome(fd, into, deadline) <= 0) return false;
    }
    return true;
  }
  const std::string& stderrText() const { return stderrText_; }

  void signal(int sig) { ::kill(pid_, sig); }
  // The reader of stdout goes away: the child's next write fails with EPIPE.
  void closeStdout() { ::close(std::exchange(out_, -1)); }

  // The raw wait status, or none if it did not end by `deadline`.
  std::optional<int> wait(Clock::time_point deadline) {
    for (int s = 0; !status_; s = 0) {
      if (::waitpid(pid_, &s, WNOHANG) == pid_) status_ = s;
      if (!status_ && Clock::now() >= deadline) return std::nullopt;
      readSome(err_, stderrText_, Clock::now() + std::chrono::milliseconds(status_ ? 0 : 20));
      readSome(out_, outBuffer_, Clock::now() + std::chrono::milliseconds(status_ ? 0 : 1));
    }
    while (readSome(err_, stderrText_, Clock::now()) > 0 || readSome(out_, outBuffer_, Clock::now()) > 0) {
    }
    return status_;
  }
  // The whole lines of `text`.
  static std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      out.push_back(text.substr(at, end - at));
    }
    return out;
  }

  static bool exitedWith(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

  // A command run to its end (at most 60 s): exit code (else -1) and output.
  struct Result {
    int status = -1;
    std::string out, err;
  };
  static Result run(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {},
                    int stdoutFd = -1, const char* stdinPath = "/dev/null") {
    ToolProcess tool(args, extraEnv, stdoutFd, stdinPath);
    const auto s = tool.wait(Clock::now() + std::chrono::seconds(60));
    return {s && WIFEXITED(*s) ? WEXITSTATUS(*s) : -1, tool.outBuffer_, tool.stderrText_};
  }

 private:
  // Reads what `fd` has by `deadline`: 1 read, 0 nothing came, -1 its end.
  static int readSome(int fd, std::string& into, Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (fd < 0) return -1;
    if (::poll(&p, 1, static_cast<int>(std::max<long long>(0, left))) <= 0) return 0;
    char buffer[65536];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) into.append(buffer, static_cast<size_t>(n));
    return n > 0 ? 1 : -1;
  }

  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  std::string outBuffer_, stderrText_;
  std::optional<int> status_;
};

}  // namespace velmora::test
