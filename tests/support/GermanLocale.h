// Test support: a German locale (decimal comma, "." as thousands
// separator), as a host that calls setlocale(LC_ALL, "") on a German desktop
// runs under.  The machine need not have it installed: it is compiled once
// per user with localedef (Debian's `locales` package) into a folder under
// /tmp and reached through LOCPATH.
//
//   test::GermanLocale::use();          // this process: LC_ALL = de_DE.UTF-8
//   test::GermanLocale::environment();  // {"LOCPATH=...", "LC_ALL=de_DE.UTF-8"} for a child
//
// Both throw std::runtime_error when the locale cannot be made, so a test
// fails instead of passing under the C locale.
#pragma once

#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora::test {

class GermanLocale {
 public:
  static constexpr const char* kName = "de_DE.UTF-8";

  // The folder that holds the compiled locale, made on first use.
  static const std::string& folder() {
    static const std::string dir = [] {
      const std::string d = "/tmp/velmora-test-locales-" + std::to_string(::getuid());
      const std::string target = d + "/" + kName;
      if (!std::filesystem::exists(target + "/LC_NUMERIC")) {
        // Compiled beside the target and renamed into place, so that test
        // processes running side by side never see a half-written locale.
        std::filesystem::create_directories(d);
        const std::string scratch = target + ".tmp" + std::to_string(::getpid());
        const std::string cmd = "localedef -i de_DE -f UTF-8 " + scratch + " >/dev/null 2>&1";
        const int status = std::system(cmd.c_str());
        std::error_code ignored;
        if (status == 0) std::filesystem::rename(scratch, target, ignored);
        std::filesystem::remove_all(scratch, ignored);
        if (!std::filesystem::exists(target + "/LC_NUMERIC")) {
          throw std::runtime_error("cannot compile the de_DE.UTF-8 locale with localedef");
        }
      }
      return d;
    }();
    return dir;
  }

  // Switches this process to the German locale, as a host's
  // setlocale(LC_ALL, "") would under LANG=de_DE.UTF-8.
  static void use() {
    ::setenv("LOCPATH", folder().c_str(), 1);
    if (std::setlocale(LC_ALL, kName) == nullptr) throw std::runtime_error("setlocale(de_DE.UTF-8) failed");
  }

  // Environment entries that start a child process in the German locale.
  static std::vector<std::string> environment() {
    return {"LOCPATH=" + folder(), std::string("LC_ALL=") + kName, std::string("LANG=") + kName};
  }

  // Back to the C locale (for tests that share a process with others).
  static void reset() { std::setlocale(LC_ALL, "C"); }
};

}  // namespace velmora::test
