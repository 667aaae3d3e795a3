// A fault the simulator injects into its link, at a second of headset time
// or at once.  Written (for --fault) as: KIND@SECOND[:ARG], SECOND in
// headset seconds (fractions allowed):
//
//   checksum@5[:N]  the next N packets (default 1) carry a wrong checksum
//   sync@6[:N]      the next N packets (default 1) have their second sync
//                   byte replaced by 0x55 (a broken sync pair)
//   junk@7[:N]      N junk bytes (default 16, at most 65536) before the
//                   next packet; junk never contains 0xAA, so a framer
//                   drops it silently
//   pause@8[:S]     nothing is sent for S seconds (default 1) of headset
//                   time; the headset's clock stops too, so no sample is
//                   lost, the stream just arrives later
//   unplug@10[:S]   the link leaves the device folder and the pty closes;
//                   with S > 0 a new pty is published under the same name S
//                   seconds later and the stream goes on, else the stream
//                   ends there
//
// Checksum, sync and junk change bytes ("byte faults"); pause and unplug act
// on the link ("link faults") and need a live pty.
//
// Thread-safety: plain data.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmora::sim {

enum class FaultKind { Checksum, Sync, Junk, Pause, Unplug };

struct Fault {
  FaultKind kind = FaultKind::Checksum;
  std::optional<double> atSecond;  // none: at the next sample time
  // Packets (checksum, sync), bytes (junk), seconds (pause; unplug: until
  // the re-plug, 0 for none).
  double argument = 1.0;

  bool isLinkFault() const { return kind == FaultKind::Pause || kind == FaultKind::Unplug; }

  // Parses a fault written as above; throws std::invalid_argument with a message that
  // names the problem and shows the syntax.
  static Fault parse(std::string_view text);
  // A fault of `kind` at once with the kind's default argument.
  static Fault now(FaultKind kind);
  // The fault written as above (a scheduled fault parses back to itself).
  std::string describe() const;
};

const char* faultKindName(FaultKind kind);

}  // namespace velmora::sim
