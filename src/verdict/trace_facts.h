// SPDX-License-Identifier: GPL-3.0-or-later
// What the verdict's rules read from a trace: its own steps (the launch, the
// end) and the kernel's reports, recognised by the texts the trace and the
// platform give them. The core sees no platform type, only these texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/event_list.h"

namespace mf::verdict {

// The trace's own end of the target, as the trace words it.
struct TraceEnd {
  enum class Kind : unsigned char { signal, status, handedOff };
  Kind kind = Kind::status;
  int value = 0;           // the signal, the exit status, the instance's PID
  std::string signalName;  // "SIGSEGV"
  std::size_t event = 0;
};

// A kernel report about one process of the tree.
struct KernelFact {
  enum class Kind : unsigned char { fault, outOfMemory, denial };
  Kind kind = Kind::fault;
  std::int64_t pid = 0;
  std::string comm;
  std::string detail;  // fault: "in f (a.c:5): segfault at 0"; OOM: the reason; denial: "by X: what"
  std::size_t event = 0;
};

struct TraceFacts {
  std::optional<std::size_t> launched;  // "<name> launched with PID N"
  std::int64_t targetPid = 0;
  std::optional<std::size_t> launchFailed;
  std::optional<TraceEnd> end;  // an abnormal end or a hand-off; a zero exit is none
  std::vector<KernelFact> kernel;
};

TraceFacts readTraceFacts(const EventList& events);

// A journal or stderr line without the "identifier[pid]: " its road put in
// front; other lines as they are.
std::string_view withoutSender(const EventView& event);

// Reads "name[pid]" at the start of `text`; the rest after it in `rest`.
bool splitNamePid(std::string_view text, std::string& name, std::int64_t& pid, std::string_view& rest);

}  // namespace mf::verdict
