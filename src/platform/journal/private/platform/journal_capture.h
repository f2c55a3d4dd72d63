// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <sys/types.h>

#include "platform/journal_entry.h"
#include "platform/kernel_report.h"
#include "platform/symbolize.h"
#include "platform/tree_source.h"
#include "trace/services.h"

namespace mf {

// systemd-coredump's report of a crashed process, and journald's note that
// it dropped a unit's messages under its rate limit.
inline constexpr std::string_view kCoredumpMessageId = "fc2e22bc6ee647b6b90729ab34a250b1";
inline constexpr std::string_view kJournalDroppedMessageId = "a596d6fe7bfa4994828e72309e95d61e";

// Whom a trace captures: the launched process tree, the target's own stderr
// stream, and the transient scope it runs in. journald files a stream line
// under the pid that wrote it, but a writer that is gone by the time journald
// reads the line has none; the stream's id (learnt from its first line of a
// member) then tells the line apart, whoever wrote it: every descendant that
// inherited stderr writes there. Entries that we sent ourselves (the stdout
// lines we forward, our own messages) are never the target's.
struct CaptureScope {
  std::string processName;  // the name in texts
  std::string identifier;   // the target's stream identifier
  pid_t self = 0;           // our own pid
  pid_t root = 0;           // the launched process, 0 until known
  std::string unit;         // the transient scope it runs in, or empty
  std::string streamId;     // the target's stderr stream, empty until learnt
  // Why the kernel's own lines cannot reach this trace, said once when the
  // launch is known; empty where they can.
  std::string kernelMessagesMissing;
};

// Reports that only their real senders can make. Any process may send an
// entry with systemd-coredump's MESSAGE_ID and COREDUMP_PID, or with the text
// of journald's rate-limit note; only what came from systemd-coredump running
// as root, or from journald itself, says a crash or a loss.
bool isCoredumpReport(const JournalEntry& entry);
bool isJournalDropNote(const JournalEntry& entry);

enum class Verdict { capture, skip, undecided };

// Whether `entry` belongs to the trace. `isMember` answers for a pid in the
// process tree. Undecided: the launched process is not known yet.
template <typename IsMember>
Verdict captureVerdict(const JournalEntry& entry, const CaptureScope& scope, IsMember&& isMember) {
  if (entry.pid == scope.self && scope.self != 0) return Verdict::skip;
  // The kernel's word about a member names it by the pid in its text.
  if (isKernelTransport(entry)) {
    if (scope.root == 0) return Verdict::undecided;
    const auto report = parseKernelReport(entry);
    return report && isMember(report->pid) ? Verdict::capture : Verdict::skip;
  }
  if (entry.transport == "stdout" && entry.identifier == scope.identifier) {
    if (!scope.streamId.empty() && entry.streamId == scope.streamId) return Verdict::capture;
    // Before the stream is known, a line whose writer was gone (no pid) is
    // taken by its identifier, as the one clue left.
    if (scope.streamId.empty() && entry.pid == 0) return Verdict::capture;
  }
  if (isJournalDropNote(entry)) {
    // journald limits per unit; only a scope of our own can be named here.
    const std::string from = " from " + scope.unit;
    const bool names = !scope.unit.empty() && entry.message.size() >= from.size() &&
                       entry.message.compare(entry.message.size() - from.size(), from.size(), from) == 0;
    return names ? Verdict::capture : Verdict::skip;
  }
  const bool isCrashReport = isCoredumpReport(entry);
  if (!scope.unit.empty() && (entry.userUnit == scope.unit || (isCrashReport && entry.coredumpUnit == scope.unit))) {
    return Verdict::capture;
  }
  if (scope.root == 0) return Verdict::undecided;
  if (isCrashReport) return isMember(entry.coredumpPid) ? Verdict::capture : Verdict::skip;
  return isMember(entry.pid) ? Verdict::capture : Verdict::skip;
}

// One captured entry as the line a person reads: who sent it as
// identifier[pid], the GLib domain where there is one, and the whole message
// (a multi-line message stays one text). The time is the event's own (its
// column shows it), and the host name is left out: the trace is of this
// machine.
std::string renderJournalEntry(const JournalEntry& entry, const CaptureScope& scope);
// Where the line came from (the target's stderr stream, or the journal), its
// priority, whether it is a library's GLib message, and when it was written.
LineInfo journalLineInfo(const JournalEntry& entry, const CaptureScope& scope);

// Decides and renders the entries of one log stream, on its reader thread,
// and hands the captured lines to the sink in journal order. `tree` says
// which processes are the launch's (on this machine, a ProcessTree).
class JournalCapture {
 public:
  JournalCapture(CaptureScope scope, LineBatchSink sink, std::unique_ptr<TreeSource> tree);

  // The descriptor whose readiness means fork events are waiting, or -1.
  int eventFd() const { return tree_->eventFd(); }
  void drainEvents() { tree_->drainEvents(); }
  // Without fork events the tree is read from /proc this often, so a helper
  // that lives a little while is known before its entries arrive.
  static constexpr int kDiscoverMillis = 25;
  bool needsDiscovery() const { return !tree_->seesForks() && scope_.root != 0; }
  void discoverChildren() { tree_->discoverChildren(); }
  bool seesForks() const { return tree_->seesForks(); }

  // The launched process is known: decides the entries held until now.
  void follow(pid_t root, const std::string& unit, std::shared_ptr<LaunchWitness> witness = nullptr);
  void take(JournalEntry&& entry);
  // Hands on the lines taken so far.
  void flush();
  // Lines handed on since the last call.
  std::size_t takeDelivered() { return std::exchange(delivered_, 0); }

 private:
  void capture(const JournalEntry& entry);
  void learnStream(const JournalEntry& entry);
  bool awaitsStream(const JournalEntry& entry) const;
  void captureKernelReport(const JournalEntry& entry);
  void warnWithoutKernelMessages();
  bool isRepeatedAuditRecord(const KernelReport& report);
  void noteSuppressedKernelMessages(const JournalEntry& entry);
  void noteMemoryCgroupLimit(const JournalEntry& entry);
  // `message` as a line of the kernel's at `entry`'s time.
  void addKernelLine(const JournalEntry& entry, std::string message, int priority);

  CaptureScope scope_;
  LineBatchSink sink_;
  std::unique_ptr<TreeSource> tree_;
  CrashLocator locator_;
  std::deque<JournalEntry> undecided_;
  std::deque<JournalEntry> awaitingStream_;  // until the target's stream is known
  LineBatch batch_;
  std::size_t delivered_ = 0;
  // Audit records shown, by stamp and serial, as each comes twice.
  std::deque<std::string> auditSerials_;
  bool toldSuppressed_ = false;
  // The limit the last out-of-memory dump showed as reached, until the kill
  // line that follows it; then the limit that kill was for. The kernel
  // writes one dump and its kill at a time, but may leave a dump out under
  // its rate limit: each kill takes only the dump since the kill before.
  std::optional<std::uint64_t> dumpedLimitKiB_;
  std::optional<std::uint64_t> killLimitKiB_;
};

}  // namespace mf
