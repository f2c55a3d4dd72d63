#pragma once

#include <cstdint>
#include <sys/types.h>
#include <unordered_map>
#include <unordered_set>

#include "platform/posix_io.h"

namespace mf {

// The launched process and every process descended from it, as far as this
// machine lets us see.
//
// With the kernel's process-event connector (netlink; it needs CAP_NET_ADMIN,
// so root or a capable container) every fork is seen as it happens, so even
// a helper that logs one line and exits within a millisecond is known. It is
// opened before the launch, and forks seen before the root is known are kept
// and joined to the tree once it is. Without the connector, membership is
// decided from /proc when asked: a living process whose parent chain reaches
// the tree is in it; a process that is already gone cannot be placed. Members
// are never forgotten: a crash report or a late line names a pid that ended.
class ProcessTree {
 public:
  ProcessTree();
  ~ProcessTree();
  ProcessTree(const ProcessTree&) = delete;
  ProcessTree& operator=(const ProcessTree&) = delete;

  // Whether fork events are seen (the connector could be opened).
  bool seesForks() const { return connector_.valid(); }
  // The connector's descriptor for poll(), or -1.
  int eventFd() const { return connector_.get(); }
  // Reads every fork event the kernel has queued, without blocking.
  void drainEvents();

  void setRoot(pid_t root);

  // Whether `pid` is the root or descends from it. Reads queued events first,
  // then falls back to /proc for a pid it has not seen.
  bool contains(pid_t pid);

 private:
  void handleFork(pid_t parent, pid_t child);
  bool descendsFromMemberInProc(pid_t pid);

  posix::UniqueFd connector_;
  bool lostEvents_ = false;  // the kernel dropped events: fall back to /proc too
  std::unordered_set<pid_t> members_;  // empty until the root is set
  // Before the root is known: every fork seen since the connector opened.
  std::unordered_multimap<pid_t, pid_t> childrenSeen_;
};

}  // namespace mf
