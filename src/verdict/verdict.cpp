// SPDX-License-Identifier: GPL-3.0-or-later
// The verdict's rules. Each reads the trace's facts and either answers or
// passes; the first that answers decides, so the table below is in order of
// how decisive its evidence is: the kernel's own word about the process
// first, then how the target ended and what it wrote before, then the
// launch's own outcome, then a plain count.
#include "verdict/verdict.h"

#include <array>
#include <cmath>
#include <cstdio>

#include "history/session_counts.h"
#include "trace_facts.h"

namespace mf {
namespace {

using verdict::KernelFact;
using verdict::TraceEnd;
using verdict::TraceFacts;

// A kernel report about another process of the tree, or a denial, counts
// only this close before the target's abnormal end: a helper that died
// earlier did not end it.
constexpr double kShortlyBeforeSeconds = 3.0;
// A quoted line is cut here, so the verdict stays one line.
constexpr std::size_t kMaxQuoteBytes = 200;

struct Reading {
  const EventList& events;
  TraceFacts facts;
  SessionCounts counts;
};

using Rule = std::optional<Verdict> (*)(const Reading&);

std::string quote(std::string_view text) {
  if (text.size() <= kMaxQuoteBytes) return std::string(text);
  std::size_t cut = kMaxQuoteBytes;
  // Not inside a UTF-8 sequence.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "…";
}

std::string seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", value < 0 ? 0.0 : value);
  return text;
}

std::string afterLaunch(const Reading& reading, std::size_t event) {
  if (!reading.facts.launched) return {};
  const double after = reading.events[event].time - reading.events[*reading.facts.launched].time;
  // The kernel stamps its report itself; a fault at once can read as just
  // before the spawn returned, and then no time is better than a wrong one.
  if (after < 0) return {};
  return ", " + seconds(after) + " after launch";
}

bool endedAbnormally(const TraceFacts& facts) {
  return facts.end && (facts.end->kind == TraceEnd::Kind::signal ||
                       (facts.end->kind == TraceEnd::Kind::status && facts.end->value != 0));
}

std::string endText(const TraceEnd& end) {
  if (end.kind == TraceEnd::Kind::status) return "Exited with status " + std::to_string(end.value);
  std::string text = "Killed by signal " + std::to_string(end.value);
  if (!end.signalName.empty()) text += " (" + end.signalName + ")";
  return text;
}

// The kernel's report of `kind` about the target, or about the process whose
// death ended it: the last such report about another member shortly before
// an abnormal end.
const KernelFact* reportThatEndedIt(const Reading& reading, KernelFact::Kind kind) {
  const TraceFacts& facts = reading.facts;
  const KernelFact* found = nullptr;
  for (const auto& fact : facts.kernel) {
    if (fact.kind != kind) continue;
    if (facts.targetPid != 0 && fact.pid == facts.targetPid) return &fact;
    if (!endedAbnormally(facts) || fact.event > facts.end->event) continue;
    const double before = reading.events[facts.end->event].time - reading.events[fact.event].time;
    if (before <= kShortlyBeforeSeconds) found = &fact;
  }
  return found;
}

std::string whoText(const Reading& reading, const KernelFact& fact, std::string_view ofTarget) {
  if (fact.pid == reading.facts.targetPid) return std::string(ofTarget);
  const std::string who = fact.comm.empty() ? "Process " + std::to_string(fact.pid)
                                            : fact.comm + "[" + std::to_string(fact.pid) + "]";
  std::string lower(ofTarget);
  if (!lower.empty()) lower.front() = static_cast<char>(lower.front() - 'A' + 'a');
  return who + " " + lower;
}

std::optional<Verdict> locatedCrash(const Reading& reading) {
  const KernelFact* fact = reportThatEndedIt(reading, KernelFact::Kind::fault);
  if (!fact) return std::nullopt;
  std::string text = whoText(reading, *fact, "Crashed");
  if (!fact->detail.empty()) text += (fact->detail.front() == ':' ? "" : " ") + fact->detail;
  return Verdict{Verdict::Kind::crashed, text + afterLaunch(reading, fact->event), fact->event};
}

std::optional<Verdict> outOfMemoryKill(const Reading& reading) {
  const KernelFact* fact = reportThatEndedIt(reading, KernelFact::Kind::outOfMemory);
  if (!fact) return std::nullopt;
  std::string text = whoText(reading, *fact, "Killed by the kernel's out-of-memory killer");
  if (!fact->detail.empty()) text += " because " + fact->detail;
  return Verdict{Verdict::Kind::outOfMemory, text + afterLaunch(reading, fact->event), fact->event};
}

std::optional<Verdict> denialBeforeAbnormalEnd(const Reading& reading) {
  const TraceFacts& facts = reading.facts;
  if (!endedAbnormally(facts)) return std::nullopt;
  const double endTime = reading.events[facts.end->event].time;
  const KernelFact* denial = nullptr;
  for (const auto& fact : facts.kernel) {
    if (fact.kind != KernelFact::Kind::denial || fact.event > facts.end->event) continue;
    if (endTime - reading.events[fact.event].time <= kShortlyBeforeSeconds) denial = &fact;
  }
  if (!denial) return std::nullopt;
  const std::string who = denial->comm.empty() ? "process " + std::to_string(denial->pid) : denial->comm;
  return Verdict{Verdict::Kind::denied,
                 endText(*facts.end) + ", " + seconds(endTime - reading.events[denial->event].time) +
                     " after " + who + " was denied by " + denial->detail,
                 denial->event};
}

// Lines that say by themselves why a program could not go on: the dynamic
// loader's, Qt's when no platform plugin loads, GLib's fatal messages and
// failed assertions. Quoted from the marker on where the line's start is
// only the program's name. Qt's own words that no platform plugin loaded
// come after, and say less than, the plugin's word of why (no display):
// they are the cause only where no such word was written.
struct Cause {
  std::string_view marker;
  bool quoteFromMarker;
  bool onlyAnOutcome = false;
};
constexpr std::array kCauses{
    Cause{"error while loading shared libraries", true},
    Cause{"symbol lookup error", true},
    Cause{"' not found (required by ", false},
    Cause{"no Qt platform plugin could be initialized", false, true},
    Cause{"Could not load the Qt platform plugin", false, true},
    Cause{"Could not find the Qt platform plugin", false, true},
    Cause{"could not connect to display", false},
    Cause{"Failed to create wl_display", false},
    Cause{"-ERROR **", false},
    Cause{"-CRITICAL **", false},
    Cause{"assertion failed", false},
    Cause{"Bail out! ", false},
};

const Cause* recognisedCause(std::string_view line) {
  for (const auto& cause : kCauses) {
    if (line.find(cause.marker) != std::string_view::npos) return &cause;
  }
  return nullptr;
}

std::optional<Verdict> abnormalEnd(const Reading& reading) {
  const TraceFacts& facts = reading.facts;
  if (!endedAbnormally(facts)) return std::nullopt;
  std::optional<std::size_t> cause;
  const Cause* causeRule = nullptr;
  std::string causeText;
  std::optional<std::size_t> lastError;
  std::optional<std::size_t> lastWarning;
  for (std::size_t i = 0; i < facts.end->event; ++i) {
    const EventView event = reading.events[i];
    if (event.origin == LineOrigin::trace) continue;
    const std::string_view line = verdict::withoutSender(event);
    const Cause* recognised = recognisedCause(line);
    if (recognised && (!causeRule || !recognised->onlyAnOutcome || causeRule->onlyAnOutcome)) {
      cause = i;
      causeRule = recognised;
      causeText = quote(recognised->quoteFromMarker ? line.substr(line.find(recognised->marker)) : line);
    }
    if (event.isRoutineNoise) continue;
    if (event.type == EventType::error) lastError = i;
    if (event.type == EventType::warning) lastWarning = i;
  }
  if (!cause) cause = lastError ? lastError : lastWarning;
  const std::string end = endText(*facts.end);
  if (!cause) {
    return Verdict{Verdict::Kind::abnormalEnd, end + "; nothing written before it says why", facts.end->event};
  }
  if (causeText.empty()) causeText = quote(verdict::withoutSender(reading.events[*cause]));
  return Verdict{Verdict::Kind::abnormalEnd, end + " after: " + causeText, cause};
}

std::optional<Verdict> launchFailed(const Reading& reading) {
  const auto event = reading.facts.launchFailed;
  if (!event) return std::nullopt;
  const std::string_view message = reading.events[*event].message;
  const std::string text = message.substr(0, 14) == "Launch failed:" ? quote(message)
                                                                     : "Launch failed: " + quote(message);
  return Verdict{Verdict::Kind::launchFailed, text, event};
}

std::optional<Verdict> handedOff(const Reading& reading) {
  const auto& end = reading.facts.end;
  if (!end || end->kind != TraceEnd::Kind::handedOff) return std::nullopt;
  return Verdict{Verdict::Kind::handedOff,
                 "Handed off to its running instance (PID " + std::to_string(end->value) +
                     "), whose lines this trace does not hold",
                 end->event};
}

std::string counted(std::size_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

// Still running, stopped, or ended normally.
std::optional<Verdict> noFailure(const Reading& reading) {
  const SessionCounts& counts = reading.counts;
  if (counts.isClean()) return Verdict{Verdict::Kind::clean, "Clean: no errors or warnings", std::nullopt};
  std::string text = "No failure: ";
  if (counts.errors > 0) text += counted(counts.errors, "error", "errors");
  if (counts.errors > 0 && counts.warnings > 0) text += ", ";
  if (counts.warnings > 0) text += counted(counts.warnings, "warning", "warnings");
  const EventType first = counts.errors > 0 ? EventType::error : EventType::warning;
  for (std::size_t i = 0; i < reading.events.size(); ++i) {
    const EventView event = reading.events[i];
    if (event.isRoutineNoise || event.type != first) continue;
    return Verdict{Verdict::Kind::noFailure, text + "; first: " + quote(verdict::withoutSender(event)), i};
  }
  return Verdict{Verdict::Kind::noFailure, text, std::nullopt};
}

// Most decisive first; the last rule always answers.
constexpr std::array<Rule, 7> kRules{
    locatedCrash,             // the kernel located a fault of the target or of what ended it
    outOfMemoryKill,          // the out-of-memory killer ended it
    denialBeforeAbnormalEnd,  // a sandbox refused something shortly before an abnormal end
    abnormalEnd,              // exit status or signal, and the cause or last error written before it
    launchFailed,             // it never started
    handedOff,                // its running instance took the launch
    noFailure,                // "No failure: …" or "Clean: …"
};

}  // namespace

Verdict judgeTrace(const EventList& events) {
  const Reading reading{events, verdict::readTraceFacts(events), countSession(events)};
  for (const Rule rule : kRules) {
    if (auto verdict = rule(reading)) return std::move(*verdict);
  }
  return {};
}

std::string_view verdictKindName(Verdict::Kind kind) {
  switch (kind) {
    case Verdict::Kind::crashed: return "crashed";
    case Verdict::Kind::outOfMemory: return "out-of-memory";
    case Verdict::Kind::denied: return "denied";
    case Verdict::Kind::abnormalEnd: return "abnormal-end";
    case Verdict::Kind::launchFailed: return "launch-failed";
    case Verdict::Kind::handedOff: return "handed-off";
    case Verdict::Kind::noFailure: return "no-failure";
    case Verdict::Kind::clean: return "clean";
  }
  return "clean";
}

}  // namespace mf
