// SPDX-License-Identifier: GPL-3.0-or-later
#include "trace_facts.h"

#include "verdict/verdict.h"

#include <charconv>

namespace mf::verdict {
namespace {

bool endsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

std::optional<std::int64_t> numberAt(std::string_view text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

// "… killed by signal 11 (SIGSEGV)" -> 11, "SIGSEGV"
std::optional<TraceEnd> signalEnd(std::string_view message, std::size_t index) {
  constexpr std::string_view kMarker = " killed by signal ";
  const auto at = message.rfind(kMarker);
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view rest = message.substr(at + kMarker.size());
  const auto number = numberAt(rest);
  if (!number) return std::nullopt;
  TraceEnd end{TraceEnd::Kind::signal, static_cast<int>(*number), {}, index};
  const auto open = rest.find(" (");
  if (open != std::string_view::npos && endsWith(rest, ")")) {
    end.signalName = std::string(rest.substr(open + 2, rest.size() - open - 3));
  }
  return end;
}

// A kernel report as the journal road renders it: "kernel: comm[pid] …".
std::optional<KernelFact> kernelFact(const EventView& event, std::size_t index) {
  constexpr std::string_view kKernel = "kernel: ";
  if (event.origin != LineOrigin::journal || event.message.substr(0, kKernel.size()) != kKernel) return std::nullopt;
  std::string_view text = event.message.substr(kKernel.size());
  KernelFact fact;
  fact.event = index;
  std::string_view rest;
  if (constexpr std::string_view kProcess = "process "; text.substr(0, kProcess.size()) == kProcess) {
    const auto pid = numberAt(text.substr(kProcess.size()));
    if (!pid) return std::nullopt;
    fact.pid = *pid;
    rest = text.substr(text.find(' ', kProcess.size()) == std::string_view::npos ? text.size()
                                                                                 : text.find(' ', kProcess.size()));
  } else if (!splitNamePid(text, fact.comm, fact.pid, rest)) {
    return std::nullopt;
  }
  constexpr std::string_view kOom = " crashed: the kernel's out-of-memory killer ended it because ";
  constexpr std::string_view kDenied = " permission denied by ";
  constexpr std::string_view kCrashed = " crashed";
  if (rest.substr(0, kOom.size()) == kOom) {
    fact.kind = KernelFact::Kind::outOfMemory;
    fact.detail = std::string(rest.substr(kOom.size()));
  } else if (rest.substr(0, kDenied.size()) == kDenied) {
    fact.kind = KernelFact::Kind::denial;
    fact.detail = std::string(rest.substr(kDenied.size()));
  } else if (rest.substr(0, kCrashed.size()) == kCrashed) {
    // " in f (a.c:5), file+0x1139: segfault at 0", " in f (a.c:5): …",
    // ", file+0x1139: …", " at 0x7f…: …": where first, then what happened,
    // after the first ": " outside parentheses.
    std::string_view where = rest.substr(kCrashed.size());
    std::string_view what;
    int depth = 0;
    for (std::size_t i = 0; i + 1 < where.size(); ++i) {
      if (where[i] == '(') ++depth;
      if (where[i] == ')' && depth > 0) --depth;
      if (depth == 0 && where[i] == ':' && where[i + 1] == ' ') {
        what = where.substr(i + 2);
        where = where.substr(0, i);
        break;
      }
    }
    // The function and its line say where; the file and offset only where
    // nothing better is known.
    if (where.substr(0, 4) == " in ") {
      depth = 0;
      for (std::size_t i = 0; i < where.size(); ++i) {
        if (where[i] == '(') ++depth;
        if (where[i] == ')' && depth > 0) --depth;
        if (depth == 0 && where[i] == ',') {
          where = where.substr(0, i);
          break;
        }
      }
    } else if (where.substr(0, 2) == ", ") {
      where = where.substr(1);
      fact.detail = "in";
    }
    fact.detail += std::string(where);
    if (!what.empty()) fact.detail += ": " + std::string(what);
    while (!fact.detail.empty() && fact.detail.front() == ' ') fact.detail.erase(0, 1);
  } else {
    return std::nullopt;
  }
  return fact;
}

}  // namespace

bool splitNamePid(std::string_view text, std::string& name, std::int64_t& pid, std::string_view& rest) {
  const auto open = text.find('[');
  if (open == std::string_view::npos || open == 0) return false;
  const auto close = text.find(']', open);
  if (close == std::string_view::npos) return false;
  const auto number = numberAt(text.substr(open + 1, close - open - 1));
  if (!number || std::to_string(*number).size() != close - open - 1) return false;
  name = std::string(text.substr(0, open));
  pid = *number;
  rest = text.substr(close + 1);
  return true;
}

std::string_view withoutSender(const EventView& event) {
  if (event.origin != LineOrigin::journal && event.origin != LineOrigin::standardError) return event.message;
  std::string name;
  std::int64_t pid = 0;
  std::string_view rest;
  const auto colon = event.message.find(": ");
  if (colon == std::string_view::npos) return event.message;
  const std::string_view head = event.message.substr(0, colon);
  if (head.find(' ') != std::string_view::npos) return event.message;
  if (splitNamePid(event.message, name, pid, rest) && rest.substr(0, 2) == ": ") return rest.substr(2);
  // A sender the journal knew by name only.
  return event.origin == LineOrigin::journal ? event.message.substr(colon + 2) : event.message;
}

}  // namespace mf::verdict

namespace mf {

std::optional<Sender> senderOf(const EventView& event) {
  if (event.origin != LineOrigin::journal && event.origin != LineOrigin::standardError) return std::nullopt;
  const std::string_view message = event.message;
  const auto colon = message.find(": ");
  if (colon == std::string_view::npos || message.substr(0, colon).find(' ') != std::string_view::npos) {
    return std::nullopt;
  }
  Sender sender;
  std::int64_t pid = 0;
  std::string_view rest;
  if (verdict::splitNamePid(message, sender.identifier, pid, rest) && rest.substr(0, 2) == ": ") {
    sender.pid = pid;
    return sender;
  }
  if (event.origin != LineOrigin::journal) return std::nullopt;
  sender.identifier = std::string(message.substr(0, colon));
  return sender;
}

}  // namespace mf

namespace mf::verdict {

TraceFacts readTraceFacts(const EventList& events) {
  TraceFacts facts;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const EventView event = events[i];
    if (event.origin != LineOrigin::trace) {
      if (auto fact = kernelFact(event, i)) facts.kernel.push_back(std::move(*fact));
      continue;
    }
    const std::string_view message = event.message;
    if (event.source == "PROCESS" && event.type == EventType::success) {
      constexpr std::string_view kLaunched = " launched with PID ";
      if (const auto at = message.rfind(kLaunched); at != std::string_view::npos) {
        if (const auto pid = numberAt(message.substr(at + kLaunched.size()))) {
          facts.launched = i;
          facts.targetPid = *pid;
        }
      }
    } else if (event.source == "LAUNCH" && event.type == EventType::error) {
      facts.launchFailed = i;
    } else if (event.source == "CRASH" || event.source == "PROCESS") {
      constexpr std::string_view kStatus = " exited with status ";
      constexpr std::string_view kHandedOff = " handed the launch to its running instance, PID ";
      if (const auto at = message.rfind(kStatus); at != std::string_view::npos) {
        if (const auto code = numberAt(message.substr(at + kStatus.size()))) {
          facts.end = TraceEnd{TraceEnd::Kind::status, static_cast<int>(*code), {}, i};
        }
      } else if (const auto from = message.rfind(kHandedOff); from != std::string_view::npos) {
        if (const auto pid = numberAt(message.substr(from + kHandedOff.size()))) {
          facts.end = TraceEnd{TraceEnd::Kind::handedOff, static_cast<int>(*pid), {}, i};
        }
      } else if (auto end = signalEnd(message, i)) {
        facts.end = std::move(end);
      }
    }
  }
  return facts;
}

}  // namespace mf::verdict
