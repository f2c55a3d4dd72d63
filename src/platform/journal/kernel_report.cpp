// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/kernel_report.h"

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <linux/seccomp.h>
#include <seccomp.h>

#include "trace/signal_names.h"

namespace mf {
namespace {

using std::string_view;

// The kernel's name of a task is at most this long; it may hold any byte,
// brackets and colons included, so it is found by what follows it.
constexpr std::size_t kCommBytes = 15;

bool startsWith(string_view text, string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

template <typename Number>
std::optional<Number> number(string_view text, int base = 10) {
  if (base == 16 && startsWith(text, "0x")) text.remove_prefix(2);
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

// The leading number of `text` and what follows it.
template <typename Number>
std::optional<Number> leadingNumber(string_view& text, int base = 10) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return value;
}

// 32768 → "32 MiB", 1536 → "1536 KiB": whole units only, so nothing is rounded.
std::string kibText(std::uint64_t kib) {
  constexpr std::uint64_t kKiBPerGiB = std::uint64_t{1024} * 1024;
  if (kib % kKiBPerGiB == 0) return std::to_string(kib / kKiBPerGiB) + " GiB";
  if (kib % 1024 == 0) return std::to_string(kib / 1024) + " MiB";
  return std::to_string(kib) + " KiB";
}

std::string hex(std::uint64_t value) {
  char text[24];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value, 16);
  return std::string("0x") + std::string(text, end);
}

// "comm[pid]" followed by `after`, starting the text: the earliest '[' within
// a task name's length of the start whose digits, ']' and `after` follow.
bool splitCommPid(string_view text, string_view after, KernelReport& report, string_view& rest) {
  for (std::size_t open = 0; open <= kCommBytes && open < text.size(); ++open) {
    if (text[open] != '[') continue;
    string_view tail = text.substr(open + 1);
    const auto pid = leadingNumber<pid_t>(tail);
    if (!pid || *pid <= 0 || !startsWith(tail, "]") || !startsWith(tail.substr(1), after)) continue;
    report.comm = std::string(text.substr(0, open));
    report.pid = *pid;
    rest = tail.substr(1 + after.size());
    return true;
  }
  return false;
}

// " in file[offset,start+size]" (kernel 6.2 on) or " in file[start+size]".
void parseMapping(string_view text, KernelReport& report) {
  const auto in = text.find(" in ");
  if (in == string_view::npos) return;
  string_view mapping = text.substr(in + 4);
  const auto close = mapping.find(']');
  if (close == string_view::npos) return;
  const auto open = mapping.rfind('[', close);
  if (open == string_view::npos || open == 0) return;
  report.file = std::string(mapping.substr(0, open));
  // "[offset,start+size]"; older kernels write only "[start+size]", which
  // does not say where in the file the instruction was.
  const string_view inside = mapping.substr(open + 1, close - open - 1);
  if (const auto comma = inside.find(','); comma != string_view::npos) {
    if (const auto offset = number<std::uint64_t>(inside.substr(0, comma), 16)) {
      report.fileOffset = *offset;
      report.hasFileOffset = true;
    }
  }
}

// "comm[pid]: segfault at 0 ip 000055… sp … error 6 in comm[1185,5561…+1000] likely on CPU 0 …"
// "traps: comm[pid] trap invalid opcode ip:55f5… sp:7ffc… error:0 in comm[11be,55f5…+1000]"
std::optional<KernelReport> parseFault(string_view line) {
  KernelReport report;
  report.kind = KernelReport::Kind::fault;
  string_view rest;
  string_view ipMarker;
  if (startsWith(line, "traps: ")) {
    if (!splitCommPid(line.substr(7), " ", report, rest)) return std::nullopt;
    ipMarker = " ip:";
  } else {
    if (!splitCommPid(line, ": ", report, rest) || !startsWith(rest, "segfault at ")) return std::nullopt;
    ipMarker = " ip ";
  }
  const auto ipAt = rest.find(ipMarker);
  report.what = std::string(rest.substr(0, ipAt));
  if (startsWith(report.what, "trap ")) report.what.erase(0, 5);
  if (ipAt == string_view::npos) return report;
  string_view afterIp = rest.substr(ipAt + ipMarker.size());
  if (const auto ip = leadingNumber<std::uint64_t>(afterIp, 16)) report.ip = *ip;
  parseMapping(afterIp, report);
  return report;
}

// "[Memory cgroup o|O]ut of memory[ (…)]: Killed process 4242 (comm) total-vm:…kB, anon-rss:…kB, …, UID:0 …"
std::optional<KernelReport> parseOutOfMemory(string_view line) {
  constexpr string_view kKilled = "Killed process ";
  const auto killed = line.find(kKilled);
  if (killed == string_view::npos) return std::nullopt;
  const string_view cause = line.substr(0, killed);
  const bool cgroup = startsWith(cause, "Memory cgroup out of memory");
  if (!cgroup && !startsWith(cause, "Out of memory") && !cause.empty()) return std::nullopt;
  KernelReport report;
  report.kind = KernelReport::Kind::outOfMemory;
  report.cgroupLimit = cgroup;
  string_view rest = line.substr(killed + kKilled.size());
  const auto pid = leadingNumber<pid_t>(rest);
  if (!pid || *pid <= 0 || !startsWith(rest, " (")) return std::nullopt;
  rest.remove_prefix(2);
  const auto usage = rest.find(") total-vm:");
  const auto close = usage != string_view::npos ? usage : rest.rfind(')');
  if (close == string_view::npos) return std::nullopt;
  report.pid = *pid;
  report.comm = std::string(rest.substr(0, close));
  if (usage != string_view::npos) {
    string_view figures = rest.substr(usage + 2);
    figures = figures.substr(0, figures.find(", UID:"));
    report.usage = std::string(figures);
  }
  return report;
}

// Audit records quote a value that is safe to print and write any other as
// hexadecimal bytes (a name with a space, a quote or a control character).
std::string auditValue(string_view body, string_view key) {
  std::size_t at = 0;
  while (at < body.size()) {
    const auto space = body.find(' ', at);
    const std::size_t end = space == string_view::npos ? body.size() : space;
    string_view token = body.substr(at, end - at);
    if (startsWith(token, key) && token.size() > key.size() && token[key.size()] == '=') {
      const std::size_t valueAt = at + key.size() + 1;
      if (valueAt < body.size() && body[valueAt] == '"') {
        const auto closeQuote = body.find('"', valueAt + 1);
        return std::string(body.substr(valueAt + 1, (closeQuote == string_view::npos ? body.size() : closeQuote) -
                                                        valueAt - 1));
      }
      const string_view value = body.substr(valueAt, end - valueAt);
      const bool isHex = !value.empty() && value.size() % 2 == 0 &&
                         value.find_first_not_of("0123456789ABCDEF") == string_view::npos;
      if (!isHex || key == "pid" || key == "syscall" || key == "sig" || key == "arch") return std::string(value);
      std::string decoded;
      for (std::size_t i = 0; i < value.size(); i += 2) {
        decoded += static_cast<char>(*number<unsigned>(value.substr(i, 2), 16));
      }
      return decoded;
    }
    if (!token.empty() && token.find('"') != string_view::npos &&
        std::count(token.begin(), token.end(), '"') % 2 == 1) {
      // A quoted value with spaces: skip to its closing quote.
      const auto closeQuote = body.find('"', at + token.find('"') + 1);
      if (closeQuote == string_view::npos) break;
      at = closeQuote + 1;
      continue;
    }
    at = end + 1;
  }
  return {};
}

// "socket (41)": libseccomp's architecture tokens are the audit record's
// arch= values, so the number is named for the architecture it was made on.
std::string syscallName(const std::string& arch, const std::string& syscall) {
  const auto token = number<std::uint32_t>(arch, 16);
  const auto call = number<int>(syscall);
  if (!token || !call) return syscall;
  char* name = seccomp_syscall_resolve_num_arch(*token, *call);
  if (name == nullptr) return syscall;
  std::string text = std::string(name) + " (" + syscall + ")";
  std::free(name);
  return text;
}

constexpr int kAuditAvc = 1400;      // AppArmor and SELinux decisions
constexpr int kAuditSeccomp = 1326;  // a seccomp filter's action
constexpr int kAuditUserAvc = 1107;  // a user-space manager's decision (dbus-daemon's AppArmor mediation)

// "audit: type=1400 audit(1700000000.123:45): apparmor=…" from the kernel's
// log; "AVC apparmor=…" from journald's own audit socket.
// "1700000000.123:45": one record's stamp and serial, the same in both copies
// of it (journald's audit socket keeps them apart from the text).
std::optional<std::pair<int, string_view>> auditRecord(const JournalEntry& entry, string_view line,
                                                       std::string& serial) {
  if (entry.transport == "audit") {
    if (!entry.auditId.empty() && entry.sourceRealtimeMicros != 0) {
      const auto millis = entry.sourceRealtimeMicros / 1000;
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "%llu.%03llu:", static_cast<unsigned long long>(millis / 1000),
                    static_cast<unsigned long long>(millis % 1000));
      serial = stamp + entry.auditId;
    }
    const auto space = line.find(' ');
    const string_view name = line.substr(0, space);
    const string_view body = space == string_view::npos ? string_view() : line.substr(space + 1);
    if (name == "AVC") return std::pair{kAuditAvc, body};
    if (name == "SECCOMP") return std::pair{kAuditSeccomp, body};
    if (name == "USER_AVC") return std::pair{kAuditUserAvc, body};
    if (startsWith(name, "AUDIT")) {
      if (const auto type = number<int>(name.substr(5))) return std::pair{*type, body};
    }
    return std::nullopt;
  }
  constexpr string_view kPrefix = "audit: type=";
  if (!startsWith(line, kPrefix)) return std::nullopt;
  string_view rest = line.substr(kPrefix.size());
  const auto type = leadingNumber<int>(rest);
  const auto colon = rest.find("): ");
  if (!type || colon == string_view::npos) return std::nullopt;
  if (const auto open = rest.find(" audit("); open != string_view::npos && open < colon) {
    serial = std::string(rest.substr(open + 7, colon - open - 7));
  }
  return std::pair{*type, rest.substr(colon + 3)};
}

// A USER_AVC record is dbus-daemon's (its pid= is the daemon's); the
// decision about the client is quoted inside msg='…', with the client's
// pid=. Only AppArmor's mediation is read from it.
std::optional<string_view> userAvcDecision(string_view body) {
  const auto open = body.find("msg='");
  if (open == string_view::npos) return std::nullopt;
  body = body.substr(open + 5);
  body = body.substr(0, body.find('\''));
  if (body.find("apparmor=") == string_view::npos) return std::nullopt;
  return body;
}

// "apparmor="DENIED" operation="open" profile="…" name="/etc/shadow" …"
bool readAppArmorDenial(string_view body, KernelReport& report) {
  if (auditValue(body, "apparmor") != "DENIED") return false;  // complain mode, status changes
  std::string profile = auditValue(body, "profile");
  if (profile.empty()) profile = auditValue(body, "label");  // D-Bus mediation names the label
  report.mechanism = "AppArmor profile \"" + profile + "\"";
  std::string target = auditValue(body, "name");
  if (target.empty() && !auditValue(body, "capname").empty()) target = "capability " + auditValue(body, "capname");
  if (target.empty() && !auditValue(body, "family").empty()) {
    target = auditValue(body, "family") + " " + auditValue(body, "sock_type");
  }
  if (target.empty()) target = auditValue(body, "peer");
  if (const std::string interface = auditValue(body, "interface"); !interface.empty()) {
    target += " " + interface + "." + auditValue(body, "member");
  }
  report.denied = auditValue(body, "operation");
  if (!target.empty()) report.denied += " " + target;
  std::string mask = auditValue(body, "requested_mask");
  if (mask.empty()) mask = auditValue(body, "denied_mask");
  if (mask.empty()) mask = auditValue(body, "mask");
  if (!mask.empty()) report.denied += " (requested " + mask + ")";
  return true;
}

// "avc:  denied  { read } for pid=… comm=… name=… scontext=… tcontext=… tclass=file permissive=0"
bool readSelinuxDenial(string_view body, KernelReport& report) {
  const auto open = body.find('{');
  const auto close = body.find('}', open);
  if (body.find(" denied ") == string_view::npos || open == string_view::npos || close == string_view::npos) {
    return false;
  }
  string_view permissions = body.substr(open + 1, close - open - 1);
  while (startsWith(permissions, " ")) permissions.remove_prefix(1);
  while (!permissions.empty() && permissions.back() == ' ') permissions.remove_suffix(1);
  report.mechanism = "SELinux";
  if (auditValue(body, "permissive") == "1") report.kind = KernelReport::Kind::permissiveDenial;
  report.denied = std::string(permissions) + " on " + auditValue(body, "tclass");
  const std::string name = auditValue(body, "name");
  if (!name.empty()) report.denied += " \"" + name + "\"";
  report.denied += " (source " + auditValue(body, "scontext") + ", target " + auditValue(body, "tcontext") + ")";
  return true;
}

// "… sig=31 arch=c000003e syscall=41 compat=0 ip=… code=0x80000000": the
// filter's action is the top half of `code`. The kernel logs the action
// alone, so an errno action comes without its errno.
bool readSeccompAction(string_view body, KernelReport& report) {
  const auto code = number<std::uint32_t>(auditValue(body, "code"), 16).value_or(0);
  const std::uint32_t action = code & SECCOMP_RET_ACTION_FULL;
  report.mechanism = "seccomp";
  report.denied = "system call " + syscallName(auditValue(body, "arch"), auditValue(body, "syscall"));
  const auto sig = number<int>(auditValue(body, "sig")).value_or(0);
  if (action == SECCOMP_RET_ERRNO) {
    const std::uint32_t error = code & SECCOMP_RET_DATA;
    report.denied += error == 0 ? ", which was refused with an error"
                                : ", which failed with error " + std::to_string(error);
    return true;
  }
  if (action == SECCOMP_RET_TRAP || action == SECCOMP_RET_KILL_PROCESS || action == SECCOMP_RET_KILL_THREAD) {
    report.denied += ", which ended it with " + signalName(sig != 0 ? sig : SIGSYS);
    return true;
  }
  return false;  // logged, allowed, traced or handed to a supervisor: nothing refused
}

// One audit record, from either copy (auditRecord), read by its format:
// AppArmor's and SELinux's decisions (type 1400, or dbus-daemon's 1107) and
// a seccomp filter's action (1326). Other records say nothing refused.
std::optional<KernelReport> parseAudit(const JournalEntry& entry, string_view line) {
  std::string serial;
  const auto record = auditRecord(entry, line, serial);
  if (!record) return std::nullopt;
  auto [type, body] = *record;
  if (type == kAuditUserAvc) {
    const auto decision = userAvcDecision(body);
    if (!decision) return std::nullopt;
    body = *decision;
    type = kAuditAvc;
  }
  KernelReport report;
  report.auditSerial = std::move(serial);
  const auto pid = number<pid_t>(auditValue(body, "pid"));
  if (!pid || *pid <= 0) return std::nullopt;
  report.pid = *pid;
  report.comm = auditValue(body, "comm");
  report.kind = KernelReport::Kind::denial;

  bool read = false;
  if (type == kAuditAvc && body.find("apparmor=") != string_view::npos) {
    read = readAppArmorDenial(body, report);
  } else if (type == kAuditAvc && startsWith(body, "avc:")) {
    read = readSelinuxDenial(body, report);
  } else if (type == kAuditSeccomp) {
    read = readSeccompAction(body, report);
  }
  if (!read) return std::nullopt;
  return report;
}

}  // namespace

std::string kernelLine(const JournalEntry& entry) {
  if (entry.transport != "kernel" || entry.identifier.empty() || entry.identifier == "kernel") return entry.message;
  std::string line = entry.identifier;
  if (entry.syslogPid > 0) line += "[" + std::to_string(entry.syslogPid) + "]";
  return line + ": " + entry.message;
}

bool saysKernelSuppressedMessages(const JournalEntry& entry) {
  // journald's own word that the kernel's log ran ahead of it.
  if (entry.transport == "driver") {
    return startsWith(entry.message, "Missed ") && entry.message.ends_with(" kernel messages");
  }
  if (entry.transport != "kernel") return false;
  const std::string line = kernelLine(entry);
  return line.ends_with(" callbacks suppressed") || line.find(" suppressed due to ratelimiting") != string_view::npos ||
         startsWith(line, "audit: rate limit exceeded") || startsWith(line, "audit: audit_lost=") ||
         startsWith(line, "audit: backlog limit exceeded");
}

std::optional<std::uint64_t> reachedMemoryCgroupLimit(string_view line) {
  if (!startsWith(line, "memory: usage ") && !startsWith(line, "memory+swap: usage ")) return std::nullopt;
  line.remove_prefix(line.find(" usage ") + 7);
  const auto usage = leadingNumber<std::uint64_t>(line);
  constexpr string_view kLimit = "kB, limit ";
  if (!usage || !startsWith(line, kLimit)) return std::nullopt;
  line.remove_prefix(kLimit.size());
  const auto limit = leadingNumber<std::uint64_t>(line);
  if (!limit || !startsWith(line, "kB") || *limit == 0) return std::nullopt;
  // The kill comes when charging one more page fails: the usage sits within
  // a few pages of the limit that was reached.
  constexpr std::uint64_t kSlackKiB = 1024;
  if (*usage + kSlackKiB < *limit) return std::nullopt;
  return limit;
}

std::optional<KernelReport> parseKernelReport(const JournalEntry& entry) {
  if (!isKernelTransport(entry)) return std::nullopt;
  const std::string line = kernelLine(entry);
  if (entry.transport == "audit" || startsWith(line, "audit: ")) return parseAudit(entry, line);
  if (auto fault = parseFault(line)) return fault;
  return parseOutOfMemory(line);
}

std::string describeKernelReport(const KernelReport& report, const std::optional<CodeLocation>& where) {
  const std::string who = report.comm.empty() ? "process " + std::to_string(report.pid)
                                               : report.comm + "[" + std::to_string(report.pid) + "]";
  switch (report.kind) {
    case KernelReport::Kind::fault: {
      std::string text = who + " crashed";
      if (where && !where->function.empty()) {
        text += " in " + where->function;
        if (!where->sourceFile.empty()) text += " (" + where->sourceFile + ":" + std::to_string(where->line) + ")";
      }
      if (report.file.empty()) {
        text += " at " + hex(report.ip);
      } else {
        text += ", " + report.file;
        if (report.hasFileOffset) text += "+" + hex(report.fileOffset);
      }
      return text + ": " + report.what;
    }
    case KernelReport::Kind::outOfMemory: {
      std::string text = who + " crashed: the kernel's out-of-memory killer ended it because ";
      text += report.cgroupLimit ? "its memory cgroup reached its limit" : "the machine ran out of memory";
      if (report.cgroupLimit && report.cgroupLimitKiB != 0) text += " of " + kibText(report.cgroupLimitKiB);
      if (!report.usage.empty()) text += " (" + report.usage + ")";
      return text;
    }
    case KernelReport::Kind::denial:
      return who + " permission denied by " + report.mechanism + ": " + report.denied;
    case KernelReport::Kind::permissiveDenial:
      return "warning: " + report.mechanism + " in permissive mode would refuse " + who + " " + report.denied;
  }
  return {};
}

std::optional<std::string> kernelMessagesUnavailableReason(const std::string& devKmsg,
                                                           std::initializer_list<std::string_view> journalDirs) {
  struct stat info {};
  if (::stat(devKmsg.c_str(), &info) != 0) {
    return "the kernel's messages do not reach the journal here (" + devKmsg + " is missing)";
  }
  // The kernel's log is character device 1:11; a container may put a link
  // to /dev/null (1:3) in its place.
  if (!S_ISCHR(info.st_mode) || major(info.st_rdev) != 1 || minor(info.st_rdev) != 11) {
    return "the kernel's messages do not reach the journal here (" + devKmsg + " is not the kernel's log)";
  }
  if (::geteuid() == 0) return std::nullopt;
  // Kernel entries are in system.journal (and its rotated files); with none
  // of them readable this user sees only its own entries.
  bool sawSystemJournal = false;
  try {
    std::error_code error;
    for (const auto dir : journalDirs) {
      for (const auto& machine : std::filesystem::directory_iterator(std::filesystem::path(dir), error)) {
        for (const auto& file : std::filesystem::directory_iterator(machine.path(), error)) {
          const std::string name = file.path().filename().string();
          if (!startsWith(name, "system")) continue;
          sawSystemJournal = true;
          if (::access(file.path().c_str(), R_OK) == 0) return std::nullopt;
        }
      }
    }
  } catch (const std::filesystem::filesystem_error&) {
    return std::nullopt;  // a folder that changed as it was read: no word rather than a wrong one
  }
  if (!sawSystemJournal) return std::nullopt;
  return "this user may not read the system journal, where the kernel's messages are "
         "(members of the systemd-journal or adm group may)";
}

}  // namespace mf
