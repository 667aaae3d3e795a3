// Test support: runs the `velmora` tool (VELMORA_TOOL_PATH) as a child
// process with its stdout and stderr on pipes, so a test can follow its
// output line by line with deadlines, signal it and collect its exit status.
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
#include <vector>

extern char** environ;

namespace velmora::test {

class ToolProcess {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts VELMORA_TOOL_PATH with `args`, the test's environment plus
  // `extraEnv` ("NAME=value" entries), stdin from /dev/null.  With
  // `stdoutFd` (a terminal, say) the child writes its stdout there instead
  // of to the pipe that stdoutLine() reads.
  explicit ToolProcess(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {},
                       int stdoutFd = -1) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd >= 0 ? stdoutFd : out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvStrings{VELMORA_TOOL_PATH};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, VELMORA_TOOL_PATH, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
    if (rc != 0) throw std::runtime_error("posix_spawn failed");
  }

  ~ToolProcess() {
    if (!status_) {
      ::kill(pid_, SIGKILL);
      int s;
      ::waitpid(pid_, &s, 0);
    }
    ::close(out_);
    ::close(err_);
  }
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  // The next whole line of stdout, or none if none came by `deadline` (or
  // stdout closed).
  std::optional<std::string> stdoutLine(Clock::time_point deadline) { return line(out_, outBuffer_, deadline); }
  // Reads stderr until a line containing `text` has come; false on timeout.
  bool waitForStderr(const std::string& text, Clock::time_point deadline) {
    for (;;) {
      if (stderrText_.find(text) != std::string::npos) return true;
      if (!readSome(err_, stderrText_, deadline)) return stderrText_.find(text) != std::string::npos;
    }
  }
  // Everything read from stderr so far (readSome keeps it).
  const std::string& stderrText() const { return stderrText_; }

  void signal(int sig) { ::kill(pid_, sig); }

  // Waits for the exit, reading the rest of both pipes meanwhile; the exit
  // status, or none if it did not end by `deadline`.
  std::optional<int> wait(Clock::time_point deadline) {
    while (!status_) {
      int s = 0;
      const pid_t r = ::waitpid(pid_, &s, WNOHANG);
      if (r == pid_) {
        status_ = s;
        break;
      }
      if (Clock::now() >= deadline) return std::nullopt;
      readSome(err_, stderrText_, Clock::now() + std::chrono::milliseconds(20));
      readSome(out_, outBuffer_, Clock::now() + std::chrono::milliseconds(1));
    }
    // Whatever was still in the pipes.
    while (readSome(err_, stderrText_, Clock::now())) {
    }
    return status_;
  }
  // The rest of stdout after wait() (lines not yet taken).
  std::vector<std::string> remainingStdoutLines() {
    while (readSome(out_, outBuffer_, Clock::now())) {
    }
    std::vector<std::string> lines;
    size_t at;
    while ((at = outBuffer_.find('\n')) != std::string::npos) {
      lines.push_back(outBuffer_.substr(0, at));
      outBuffer_.erase(0, at + 1);
    }
    return lines;
  }

  static bool exitedWith(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

 private:
  // Reads what is there (waiting until `deadline` for something); false on
  // timeout or end of file (then `eof` is set).
  static bool readSome(int fd, std::string& into, Clock::time_point deadline, bool* eof = nullptr) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::max<long long>(0, left))) <= 0) return false;
    char buffer[65536];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) {
      if (eof != nullptr) *eof = true;
      return false;
    }
    into.append(buffer, static_cast<size_t>(n));
    return true;
  }

  std::optional<std::string> line(int fd, std::string& buffer, Clock::time_point deadline) {
    for (;;) {
      const size_t at = buffer.find('\n');
      if (at != std::string::npos) {
        std::string l = buffer.substr(0, at);
        buffer.erase(0, at + 1);
        return l;
      }
      if (Clock::now() >= deadline) return std::nullopt;
      // Keep stderr flowing too, so the child never blocks on a full pipe.
      readSome(err_, stderrText_, Clock::now());
      bool eof = false;
      readSome(fd, buffer, std::min(deadline, Clock::now() + std::chrono::milliseconds(50)), &eof);
      if (eof && buffer.find('\n') == std::string::npos) return std::nullopt;
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string outBuffer_;
  std::string stderrText_;
  std::optional<int> status_;
};

}  // namespace velmora::test
