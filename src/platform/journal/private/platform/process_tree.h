// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/system_calls.h"
#include "platform/tree_source.h"

namespace mf::os {
class ForkRecorder;
struct ForkRecord;
}  // namespace mf::os

namespace mf {

// The launched process and every process descended from it, as far as this
// machine lets us see, from each one's fork until a short grace after its
// exit: long enough for its last journal entries to arrive, short of the
// moment the kernel may hand its pid to another process.
//
// With the kernel's process-event connector (netlink; it needs CAP_NET_ADMIN,
// so root or a capable container) every fork and exit is seen as it happens,
// so even a helper that logs one line and exits within a millisecond is
// known, and a pid that an outsider's fork takes over stops being a member at
// once. It is opened before the launch, and forks seen before the root is
// known are joined to the tree once it is. Without it, an ordinary user may
// still have the launch's own fork records (ForkRecorder, from the spawn on):
// every member is known as it forks, but an outsider's fork is not seen, so
// /proc's start time tells a newcomer under a member's number. Without
// either, membership is read from /proc: the children of living members are
// looked up often (discoverChildren), and a pid asked about is a member when
// its parent chain, its session or its process group leads to a member; a pid
// whose start time differs from the member's is a newcomer that took the
// number.
class ProcessTree final : public TreeSource {
 public:
  using Clock = std::chrono::steady_clock;
  // How long a member that exited still counts. journald hands entries on
  // within a second; a kernel line about a crash comes at the moment of death.
  static constexpr auto kExitGrace = std::chrono::seconds(10);

  ProcessTree();
  ~ProcessTree() override;
  ProcessTree(const ProcessTree&) = delete;
  ProcessTree& operator=(const ProcessTree&) = delete;

  // Whether the tree's forks are seen as they happen: the connector could be
  // opened, or the launch was recorded.
  bool seesForks() const override { return connector_.valid() || recorder_ != nullptr; }
  int eventFd() const override;
  // Reads every fork and exit event the kernel has queued.
  void drainEvents() override;
  // Without fork events: adds the children that living members have now,
  // and notes which members are gone. Cheap (the members' own child lists).
  void discoverChildren() override;

  // `witness`: the launch's fork records (an os::ForkRecorder), used where
  // the connector is not.
  void setRoot(pid_t root, std::shared_ptr<LaunchWitness> witness = nullptr) override;

  // Now or within the grace after its exit. Reads queued events first, then
  // /proc where events cannot answer. `name` tells a member that is gone from
  // a newcomer that took its number and is gone too, where no fork event said
  // so; so does `sentMicros`: nothing is sent after its sender's exit.
  bool contains(pid_t pid, std::string_view name = {}, std::uint64_t sentMicros = 0) override;

  // Where the launch's records tell; kept after the process's exit, for the
  // kernel's line about its crash comes after.
  std::optional<MappedFile> mappedFileAt(pid_t pid, std::uint64_t address) override;

 private:
  struct Member {
    unsigned long long startTicks = 0;        // 0: not known (gone before it was read)
    bool startRoundedUp = false;              // from a fork record: startTicks or one less
    std::string name;                         // comm when last seen alive, empty if never
    bool forkSeen = false;                    // its own fork event was read
    std::optional<Clock::time_point> goneSince;  // when its exit was seen
    std::uint64_t exitMicros = 0;               // when it exited (realtime), where its exit record said
  };
  using Mappings = std::shared_ptr<const std::vector<MappedFile>>;

  void handleFork(pid_t parent, pid_t child, std::uint64_t bootNanos = 0, std::uint64_t forkMicros = 0);
  void recordMappings(const os::ForkRecord& record);
  void handleThread(pid_t thread, pid_t process);
  void addForked(pid_t child, std::uint64_t bootNanos, const std::string& parentName);
  void handleExit(pid_t pid);
  void drainConnector();
  void drainRecorder();
  static bool startsAt(const Member& member, unsigned long long ticks);
  void addMember(pid_t pid, unsigned long long startTicks, std::string name = {}, bool forkSeen = false);
  bool isLinkedToMemberInProc(pid_t pid, const os::ProcessStat& stat);
  bool expired(Member& member, pid_t pid, Clock::time_point now);
  void pruneExpired();

  os::UniqueFd connector_;
  std::shared_ptr<os::ForkRecorder> recorder_;
  std::vector<os::ForkRecord> records_;  // reused between drains
  bool lostEvents_ = false;  // the kernel dropped events: fall back to /proc too
  pid_t root_ = 0;
  unsigned long long rootStartTicks_ = 0;
  std::unordered_map<pid_t, Member> members_;  // empty until the root is set
  std::size_t addedSincePrune_ = 0;
  // Threads of members by their own ids: the kernel names a thread, not its
  // process, in the line about a fault in it. Before the root is known, every
  // thread seen (bounded like the forks).
  std::unordered_map<pid_t, pid_t> threadsOfMembers_;
  // Before the root is known: every fork seen since the connector opened.
  std::unordered_multimap<pid_t, pid_t> childrenSeen_;
  // The code each process of the launch has mapped, by process; a fork
  // shares its parent's list until either maps anew.
  std::unordered_map<pid_t, Mappings> mappings_;
  // Numbers of members that went to an outsider, with when they last were
  // the member's (realtime): a datagram the kernel stamped before then is
  // the member's own last word, however late journald hands it on.
  std::unordered_map<pid_t, std::uint64_t> handedOver_;
  void noteHandedOver(pid_t pid, std::uint64_t untilMicros);
};

}  // namespace mf
