// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "platform/journal_entry.h"

namespace mf {

// What the kernel said about one process: where it faulted, that its
// out-of-memory killer ended it, or that a security module refused it
// something. The kernel is the one witness of these that a crashing or
// sandboxed program cannot silence, and on most machines nothing else
// records them (no core dump handler is installed by default).
struct KernelReport {
  enum class Kind { fault, outOfMemory, denial, permissiveDenial };
  Kind kind = Kind::fault;
  pid_t pid = 0;
  std::string comm;  // the kernel's name of the process (at most 15 bytes)

  // fault: "segfault at 0", "general protection fault", "invalid opcode", ...
  std::string what;
  std::string file;             // base name of the mapped file the instruction was in, or empty
  std::uint64_t fileOffset = 0;  // its offset in that file
  bool hasFileOffset = false;    // older kernels print only where the mapping starts
  std::uint64_t ip = 0;

  // outOfMemory
  bool cgroupLimit = false;  // a memory cgroup's limit, not the machine, ran out
  std::uint64_t cgroupLimitKiB = 0;  // that limit, where the kill's dump said it
  std::string usage;         // "total-vm:…kB, anon-rss:…kB, …"

  // denial: "AppArmor", "SELinux" or "seccomp", and what was refused
  std::string mechanism;
  std::string denied;
  // "1700000000.123:45": the audit record's stamp and serial. The kernel's
  // log and journald's audit socket both carry a record; this tells that
  // they are one.
  std::string auditSerial;
};

// The line as the kernel wrote it. Lines that reach /dev/kmsg from user space
// (facility user) are split by journald into identifier, pid and message;
// this puts them together again so that both read alike.
std::string kernelLine(const JournalEntry& entry);

// Whether journald read the entry from the kernel's log or audit socket.
inline bool isKernelTransport(const JournalEntry& entry) {
  return entry.transport == "kernel" || entry.transport == "audit";
}

// Whether a kernel line says the kernel left out some of its messages under
// a rate limit ("show_signal_msg: 6 callbacks suppressed", "audit: rate
// limit exceeded", ...): crash lines may be among them.
bool saysKernelSuppressedMessages(const JournalEntry& entry);

// The report a kernel or audit entry makes about one process, or nothing
// for every other kernel line (device messages, the lines of an OOM dump
// that follow the kill, a denial in complain mode, ...).
std::optional<KernelReport> parseKernelReport(const JournalEntry& entry);

// The limit, in KiB, that a line of a memory cgroup's out-of-memory dump
// shows as reached ("memory: usage 32768kB, limit 32768kB, failcnt 9",
// "memory+swap: …"), or nothing: other lines, and a limit the usage is
// still short of (the kill was for another of the group's limits).
std::optional<std::uint64_t> reachedMemoryCgroupLimit(std::string_view kernelLine);

// Where in the source a faulting instruction is, as far as symbols tell.
struct CodeLocation {
  std::string function;    // empty when no symbol covers the address
  std::string sourceFile;  // base name; empty without line information
  int line = 0;
};

// The text a person reads: "crashy[4242] crashed in main (crashy.c:12),
// crashy+0x1185: segfault at 0", "hog[17] crashed: the kernel's
// out-of-memory killer ended it ...", "sleep[9] permission denied by
// AppArmor ...".
std::string describeKernelReport(const KernelReport& report, const std::optional<CodeLocation>& where);

// Why the kernel's messages cannot be part of a trace on this machine, or
// nothing when they can: journald reads them from `devKmsg` (containers
// often have none, or a link to /dev/null there), and they are kept in the
// system journal, which an ordinary user may only read as a member of the
// journal's groups. `journalDirs` hold the machine's journal folders.
std::optional<std::string> kernelMessagesUnavailableReason(
    const std::string& devKmsg = "/dev/kmsg",
    std::initializer_list<std::string_view> journalDirs = {"/run/log/journal", "/var/log/journal"});

}  // namespace mf
