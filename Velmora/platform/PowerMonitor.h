// The power monitor: follows the machine's sleep and wake through the login
// manager (systemd-logind's "PrepareForSleep" signal on the system bus).
//
// Before the machine sleeps it posts kSystemWillSleepNotification, after it
// wakes kSystemDidWakeNotification, each on the shared NotificationCenter
// from a task on the main queue, so observers run on the main thread, with
// the monitor as sender and no user info.  The main thread must run the main
// loop for them to arrive.
//
// While it runs, and while the main loop is seen to run, the monitor holds a
// "delay" sleep inhibitor lock of the login manager (where it grants one),
// and gives it up only once the will-sleep observers have returned, so that
// they get to act (close ports, say) before the machine actually sleeps; the
// login manager waits for that at most its configured InhibitDelayMaxSec
// (5 s by default).
//
// The lock never outlasts a main loop that is not run: the monitor asks for
// it only from a task on the main queue (at start(), and again from the
// did-wake task after each wake), so a host that never runs the main loop
// never holds one; and when the will-sleep task has not started within one
// second of the sleep signal, the monitor gives the lock up itself and the
// machine sleeps without waiting (the observers still run, late, whenever
// the main loop runs again).
//
// The bus is watched on a thread of the monitor's own.  Where the system bus
// is unreachable (containers, build machines) start() simply returns false
// and nothing is logged; sleep and wake notifications are then up to the host
// (and tests post them directly).
//
// Thread-safety: start(), stop() and isRunning() may be called from any
// thread; the destructor stops the monitor.
#pragma once

#include <memory>

namespace velmora::platform {

class PowerMonitor {
 public:
  // The process-wide monitor; never destroyed.
  static PowerMonitor& shared();

  PowerMonitor();
  ~PowerMonitor();
  PowerMonitor(const PowerMonitor&) = delete;
  PowerMonitor& operator=(const PowerMonitor&) = delete;

  // Connects to the system bus and starts listening.  Returns whether the
  // monitor is listening; calling it again while it is does nothing.
  bool start();
  // Stops listening and gives up the inhibitor lock; returns once the
  // monitor's thread has ended.  Does nothing when not running.
  void stop();
  bool isRunning() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora::platform
