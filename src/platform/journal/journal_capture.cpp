// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/journal_capture.h"

#include <algorithm>

#include "text/line_batcher.h"
#include "text/unicode_text.h"

namespace mf {
namespace {

// Entries held while the launched process is not known yet. It is known
// within milliseconds of the launch; a launch that never comes must not make
// the stream hold every entry of the machine.
constexpr std::size_t kMaxUndecided = 4096;

// The kernel cuts _COMM to 15 bytes ("gnome-calculato"), and GLib's entries
// carry no identifier: a search for the program's name would miss them. The
// executable's file name is the whole name when the cut one begins it.
std::string senderName(const JournalEntry& entry) {
  constexpr std::size_t kCommBytes = 15;
  if (entry.comm.size() < kCommBytes) return entry.comm;
  const auto slash = entry.exe.rfind('/');
  const std::string_view file = slash == std::string::npos ? std::string_view(entry.exe)
                                                            : std::string_view(entry.exe).substr(slash + 1);
  return file.size() > entry.comm.size() && file.substr(0, entry.comm.size()) == entry.comm ? std::string(file)
                                                                                             : entry.comm;
}

}  // namespace

bool isCoredumpReport(const JournalEntry& entry) {
  // _UID comes with the message from the kernel, so it holds even when the
  // sender is gone; _COMM (its name, cut to 15 bytes) journald reads from
  // /proc, and misses for a sender that exited at once, as systemd-coredump
  // does right after its report. A named sender must be systemd-coredump.
  // Without _COMM, the identifier is the clue left: systemd-coredump sends
  // its own or none, and a forger that took its name is root anyway.
  return entry.messageId == kCoredumpMessageId && entry.uid == 0 &&
         (entry.comm.empty() ? entry.identifier.empty() || entry.identifier == "systemd-coredump"
                             : entry.comm == "systemd-coredum");
}

bool isJournalDropNote(const JournalEntry& entry) {
  return entry.messageId == kJournalDroppedMessageId && entry.transport == "driver";
}

std::string renderJournalEntry(const JournalEntry& entry, const CaptureScope& scope) {
  std::string who = !entry.identifier.empty() ? entry.identifier
                    : !entry.comm.empty()     ? senderName(entry)
                                              : scope.processName;
  std::int32_t pid = entry.syslogPid != 0 ? entry.syslogPid : entry.pid;
  // A stream line whose writer was gone before journald read it.
  if (pid == 0 && entry.transport == "stdout") pid = scope.root;

  std::string line = who;
  if (pid > 0) line += "[" + std::to_string(pid) + "]";
  line += ": ";
  if (isCoredumpReport(entry)) {
    const std::string crashed = entry.coredumpComm.empty() ? scope.processName : entry.coredumpComm;
    line += crashed + "[" + std::to_string(entry.coredumpPid) + "] crashed. ";
  } else if (isJournalDropNote(entry)) {
    line += "warning: lines of " + scope.processName + " were lost under the journal's rate limit: ";
  }
  if (!entry.glibDomain.empty()) line += entry.glibDomain + ": ";
  line += entry.message;
  return line;
}

LineInfo journalLineInfo(const JournalEntry& entry, const CaptureScope& scope) {
  LineInfo info;
  // The target's stderr is the stream under its identifier (its children
  // inherit it); a helper's own stream is the journal as any other entry.
  info.origin = entry.transport == "stdout" && entry.identifier == scope.identifier ? LineOrigin::standardError
                                                                                   : LineOrigin::journal;
  info.priority = static_cast<std::int8_t>(entry.priority);
  // GLib names the program's own messages after it (G_LOG_DOMAIN), where it
  // names them at all; any other domain is a library speaking.
  if (!entry.glibDomain.empty()) {
    const std::string domain = text::lowerCaseRoot(entry.glibDomain);
    const auto slash = entry.exe.rfind('/');
    const std::string_view exeName = slash == std::string::npos ? std::string_view(entry.exe)
                                                                 : std::string_view(entry.exe).substr(slash + 1);
    info.libraryDomain = domain != text::lowerCaseRoot(scope.processName) &&
                         domain != text::lowerCaseRoot(entry.identifier) &&
                         domain != text::lowerCaseRoot(senderName(entry)) && domain != text::lowerCaseRoot(exeName);
  }
  // When the sender wrote it; journald's own receipt when the entry does not say.
  const std::uint64_t micros = entry.sourceRealtimeMicros != 0 ? entry.sourceRealtimeMicros : entry.realtimeMicros;
  info.time = static_cast<double>(micros) / 1e6;
  return info;
}

JournalCapture::JournalCapture(CaptureScope scope, LineBatchSink sink, std::unique_ptr<TreeSource> tree)
    : scope_(std::move(scope)), sink_(std::move(sink)), tree_(std::move(tree)) {}

void JournalCapture::follow(pid_t root, const std::string& unit, std::shared_ptr<LaunchWitness> witness) {
  if (root <= 0 || scope_.root != 0) return;
  tree_->setRoot(root, std::move(witness));
  scope_.root = root;
  scope_.unit = unit;
  warnWithoutKernelMessages();
  std::deque<JournalEntry> held;
  held.swap(undecided_);
  for (auto& entry : held) take(std::move(entry));
}

void JournalCapture::take(JournalEntry&& entry) {
  noteMemoryCgroupLimit(entry);
  if (scope_.root != 0 && undecided_.empty()) noteSuppressedKernelMessages(entry);
  // A datagram's time is when the kernel took it from its sender; a stream's
  // lines are stamped as journald reads them, maybe after the writer's end.
  const bool datagram = entry.transport == "syslog" || entry.transport == "journal";
  const Verdict verdict = captureVerdict(entry, scope_, [this, &entry, datagram](pid_t pid) {
    const bool sender = pid == entry.pid;
    return tree_->contains(pid, sender ? std::string_view(entry.comm) : std::string_view(entry.coredumpComm),
                          sender && datagram ? entry.sourceRealtimeMicros : 0);
  });
  // While anything is held, what follows waits behind it, so the lines keep
  // the journal's order.
  if (verdict == Verdict::undecided || (scope_.root == 0 && !undecided_.empty())) {
    if (undecided_.size() == kMaxUndecided) undecided_.pop_front();
    undecided_.push_back(std::move(entry));
    return;
  }
  if (verdict == Verdict::capture) {
    learnStream(entry);
    capture(entry);
  } else if (awaitsStream(entry)) {
    if (awaitingStream_.size() == kMaxUndecided) awaitingStream_.pop_front();
    awaitingStream_.push_back(std::move(entry));
  }
}

bool JournalCapture::awaitsStream(const JournalEntry& entry) const {
  // A line on a stream of our identifier from a writer we could not place
  // (a helper that left before /proc was read) may be on the target's own
  // stream, which is known only once a member writes there: it waits until
  // then. journald gives each stream its id, so no one else can claim it.
  return scope_.streamId.empty() && entry.transport == "stdout" && entry.identifier == scope_.identifier &&
         !entry.streamId.empty() && entry.pid != scope_.self;
}

void JournalCapture::learnStream(const JournalEntry& entry) {
  // The first line of our identifier's stream written by a member names the
  // stream the target was given; a helper's own stream under the same name
  // comes later, if ever, and its lines are still taken by their pid.
  if (!scope_.streamId.empty() || entry.streamId.empty() || entry.transport != "stdout" ||
      entry.identifier != scope_.identifier || entry.pid <= 0) {
    return;
  }
  scope_.streamId = entry.streamId;
  std::deque<JournalEntry> waiting;
  waiting.swap(awaitingStream_);
  for (const auto& earlier : waiting) {
    if (earlier.streamId == scope_.streamId) capture(earlier);
  }
}

void JournalCapture::capture(const JournalEntry& entry) {
  if (isKernelTransport(entry)) {
    captureKernelReport(entry);
    return;
  }
  batch_.add(renderJournalEntry(entry, scope_), journalLineInfo(entry, scope_));
  if (batch_.size() >= LineBatcher::kMaxBatchLines) flush();
}

void JournalCapture::warnWithoutKernelMessages() {
  if (!scope_.kernelMessagesMissing.empty()) {
    batch_.add("warning: " + scope_.kernelMessagesMissing + ", so crashes, out-of-memory kills and denials of " +
                   scope_.processName + " that only the kernel reports cannot be shown",
               LineInfo{LineOrigin::journal, 4});
  }
}

void JournalCapture::noteSuppressedKernelMessages(const JournalEntry& entry) {
  if (toldSuppressed_ || !saysKernelSuppressedMessages(entry)) return;
  toldSuppressed_ = true;
  addKernelLine(entry, "warning: the kernel left out some of its messages (\"" + kernelLine(entry) +
                           "\"), so crashes of " + scope_.processName + " may be missing from this trace",
                4);
}

void JournalCapture::noteMemoryCgroupLimit(const JournalEntry& entry) {
  // The dump's lines carry no PID, so they are never the tree's own: they
  // are read here, before an entry is decided, and lend the kill its limit.
  if (entry.transport != "kernel") return;
  const std::string line = kernelLine(entry);
  if (const auto limit = reachedMemoryCgroupLimit(line)) {
    if (!dumpedLimitKiB_ || *limit < *dumpedLimitKiB_) dumpedLimitKiB_ = limit;
  } else if (line.find(" invoked oom-killer: ") != std::string::npos) {
    dumpedLimitKiB_.reset();
  } else if (line.find("Killed process ") != std::string::npos) {
    killLimitKiB_ = std::exchange(dumpedLimitKiB_, std::nullopt);
  }
}

void JournalCapture::addKernelLine(const JournalEntry& entry, std::string message, int priority) {
  // Shown as the kernel's own line, at the entry's time: its sender is the
  // kernel, whatever the line's first word made journald take for an
  // identifier.
  JournalEntry shown = entry;
  shown.identifier = "kernel";
  shown.pid = 0;
  shown.syslogPid = 0;
  shown.comm.clear();
  shown.messageId.clear();
  shown.glibDomain.clear();
  shown.message = std::move(message);
  shown.priority = priority;
  batch_.add(renderJournalEntry(shown, scope_), journalLineInfo(shown, scope_));
}

bool JournalCapture::isRepeatedAuditRecord(const KernelReport& report) {
  constexpr std::size_t kMaxSerials = 256;
  if (report.auditSerial.empty()) return false;
  if (std::find(auditSerials_.begin(), auditSerials_.end(), report.auditSerial) != auditSerials_.end()) return true;
  if (auditSerials_.size() == kMaxSerials) auditSerials_.pop_front();
  auditSerials_.push_back(report.auditSerial);
  return false;
}

void JournalCapture::captureKernelReport(const JournalEntry& entry) {
  auto report = parseKernelReport(entry);
  if (!report || isRepeatedAuditRecord(*report)) return;
  if (report->kind == KernelReport::Kind::outOfMemory && report->cgroupLimit && killLimitKiB_) {
    report->cgroupLimitKiB = *killLimitKiB_;
  }
  const auto where = report->kind == KernelReport::Kind::fault
                         ? locator_.locateFault(*report, tree_->mappedFileAt(report->pid, report->ip))
                         : std::nullopt;
  addKernelLine(entry, describeKernelReport(*report, where),
                report->kind == KernelReport::Kind::permissiveDenial ? 4 : 3);
  if (batch_.size() >= LineBatcher::kMaxBatchLines) flush();
}

void JournalCapture::flush() {
  if (batch_.empty()) return;
  LineBatch batch;
  std::swap(batch, batch_);
  delivered_ += batch.size();
  if (sink_) sink_(std::move(batch));
}

}  // namespace mf
