// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/process_tree.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <poll.h>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>

namespace mf {
namespace {

// Forks seen before the root is known are kept only this long in number: a
// launch names its root within milliseconds, and a busy machine forks a lot.
constexpr std::size_t kMaxForksBeforeRoot = 65536;
// How far up a parent chain /proc is followed.
constexpr int kMaxAncestry = 64;
// Members that ended are dropped once this many were added since the last
// look: a target that forks a lot must not grow the set without bound.
constexpr std::size_t kPruneEvery = 4096;
// How long the kernel may take to acknowledge that it will send events.
constexpr auto kAckTimeout = std::chrono::milliseconds(500);

posix::UniqueFd openConnector() {
  posix::UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_CONNECTOR));
  if (!fd.valid()) return {};
  // Fork storms arrive in bursts; a larger buffer keeps them (root may force it).
  const int bytes = 4 << 20;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = CN_IDX_PROC;
  address.nl_pid = 0;  // let the kernel choose, several trees may be open at once
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};

  // nlmsghdr, then cn_msg (whose data is a flexible array), then the op.
  alignas(nlmsghdr) char request[NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_cn_mcast_op))] = {};
  auto* header = reinterpret_cast<nlmsghdr*>(request);
  header->nlmsg_len = sizeof request;
  header->nlmsg_type = NLMSG_DONE;
  header->nlmsg_pid = 0;
  auto* message = static_cast<cn_msg*>(NLMSG_DATA(header));
  message->id.idx = CN_IDX_PROC;
  message->id.val = CN_VAL_PROC;
  message->len = sizeof(proc_cn_mcast_op);
  // Acknowledgements go to every listener: ours is the one that answers
  // this number (the kernel returns it plus one).
  static std::atomic<std::uint32_t> requests{static_cast<std::uint32_t>(::getpid()) << 12};
  message->ack = requests.fetch_add(2);
  const proc_cn_mcast_op op = PROC_CN_MCAST_LISTEN;
  std::memcpy(reinterpret_cast<char*>(message) + sizeof(cn_msg), &op, sizeof op);
  if (posix::retryOnEintr([&] { return ::send(fd.get(), request, sizeof request, 0); }) < 0) return {};
  // The kernel answers the request with an acknowledgement that carries its
  // error: outside the first pid namespace (a container) it accepts the
  // socket but refuses to send events, and a tree that waited for them would
  // never grow. Events that come first are of no launch yet.
  const auto expectedAck = message->ack + 1;
  const auto deadline = std::chrono::steady_clock::now() + kAckTimeout;
  alignas(nlmsghdr) char buffer[4096];
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd ready{fd.get(), POLLIN, 0};
    if (left <= 0 || posix::retryOnEintr([&] { return ::poll(&ready, 1, static_cast<int>(left)); }) <= 0) return {};
    const auto got = posix::retryOnEintr([&] { return ::recv(fd.get(), buffer, sizeof buffer, 0); });
    if (got <= 0) continue;
    auto length = static_cast<std::size_t>(got);
    for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, length);
         header = NLMSG_NEXT(header, length)) {
      const auto* message = static_cast<const cn_msg*>(NLMSG_DATA(header));
      if (message->id.idx != CN_IDX_PROC || message->id.val != CN_VAL_PROC) continue;
      proc_event event{};
      std::memcpy(&event, message->data, std::min<std::size_t>(message->len, sizeof event));
      if (event.what != proc_event::PROC_EVENT_NONE || message->ack != expectedAck) continue;
      return event.event_data.ack.err == 0 ? std::move(fd) : posix::UniqueFd();
    }
  }
}

}  // namespace

ProcessTree::ProcessTree() : connector_(openConnector()) {}

ProcessTree::~ProcessTree() = default;

void ProcessTree::drainEvents() {
  if (!connector_.valid()) return;
  alignas(nlmsghdr) char buffer[8192];
  for (;;) {
    const auto got = posix::retryOnEintr([&] { return ::recv(connector_.get(), buffer, sizeof buffer, 0); });
    if (got < 0) {
      if (errno == ENOBUFS) {
        lostEvents_ = true;  // the queue overflowed; /proc answers for what was lost
        continue;
      }
      return;  // EAGAIN: nothing more queued
    }
    if (got == 0) return;
    auto length = static_cast<std::size_t>(got);
    for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, length);
         header = NLMSG_NEXT(header, length)) {
      if (header->nlmsg_type == NLMSG_ERROR || header->nlmsg_type == NLMSG_NOOP) continue;
      const auto* message = static_cast<const cn_msg*>(NLMSG_DATA(header));
      if (message->id.idx != CN_IDX_PROC || message->id.val != CN_VAL_PROC) continue;
      // The event follows a 20-byte header, so it is only 4-byte aligned in
      // the buffer while it holds a 64-bit field: read it through a copy.
      if (message->len < sizeof(proc_event) - sizeof(proc_event::event_data) + sizeof(proc_event::event_data.fork)) {
        continue;
      }
      proc_event event{};
      std::memcpy(&event, message->data, std::min<std::size_t>(message->len, sizeof event));
      if (event.what == proc_event::PROC_EVENT_FORK) {
        const auto& fork = event.event_data.fork;
        // A new thread is no new process; the kernel names the parent of its
        // whole group as its parent, so it would look like an outsider's
        // fork of a member's number.
        if (fork.child_pid == fork.child_tgid) {
          handleFork(fork.parent_tgid, fork.child_tgid);
        } else if (members_.empty()) {
          if (threadsOfMembers_.size() < kMaxForksBeforeRoot) threadsOfMembers_[fork.child_pid] = fork.child_tgid;
        } else if (const auto it = members_.find(fork.child_tgid); it != members_.end() && !it->second.goneSince) {
          threadsOfMembers_[fork.child_pid] = fork.child_tgid;
        }
      } else if (event.what == proc_event::PROC_EVENT_EXIT) {
        const auto& exit = event.event_data.exit;
        // A thread's end is not the process's.
        if (exit.process_pid == exit.process_tgid) handleExit(exit.process_tgid);
      }
    }
  }
}

void ProcessTree::handleFork(pid_t parent, pid_t child) {
  if (members_.empty()) {
    if (childrenSeen_.size() < kMaxForksBeforeRoot) childrenSeen_.emplace(parent, child);
    return;
  }
  const auto it = members_.find(parent);
  if (it != members_.end() && !it->second.goneSince) {
    // Its start time lets /proc tell it from a newcomer should events be lost.
    const auto stat = posix::processStatOf(child);
    addMember(child, stat ? stat->startTicks : 0, stat ? stat->name : std::string(), true);
    return;
  }
  threadsOfMembers_.erase(child);  // a new process under an old thread's id
  const auto known = members_.find(child);
  if (known == members_.end()) return;
  // A member placed before its fork event was read (the root, or one found
  // in /proc): this is the news of its own birth.
  if (!known->second.forkSeen && !known->second.goneSince) {
    known->second.forkSeen = true;
    return;
  }
  // The kernel handed a member's old number to an outsider: from now on that
  // pid's entries are the outsider's.
  members_.erase(known);
}

void ProcessTree::handleExit(pid_t pid) {
  const auto it = members_.find(pid);
  if (it != members_.end() && !it->second.goneSince) it->second.goneSince = Clock::now();
}

void ProcessTree::addMember(pid_t pid, unsigned long long startTicks, std::string name, bool forkSeen) {
  members_[pid] = Member{startTicks, std::move(name), forkSeen, std::nullopt};
  if (++addedSincePrune_ >= kPruneEvery) pruneExpired();
}

void ProcessTree::pruneExpired() {
  addedSincePrune_ = 0;
  const auto now = Clock::now();
  for (auto it = members_.begin(); it != members_.end();) {
    it = it->first != root_ && expired(it->second, it->first, now) ? members_.erase(it) : std::next(it);
  }
  std::erase_if(threadsOfMembers_, [this](const auto& thread) { return members_.count(thread.second) == 0; });
}

bool ProcessTree::expired(Member& member, pid_t pid, Clock::time_point now) {
  if (!member.goneSince || now - *member.goneSince <= kExitGrace) return false;
  // The thread that led the process may end before the others: a process
  // that still runs under the same start time is still the member.
  const auto stat = posix::processStatOf(pid);
  if (stat && stat->state != 'Z' && stat->state != 'X' &&
      (member.startTicks == 0 || stat->startTicks == member.startTicks)) {
    member.goneSince.reset();
    return false;
  }
  return true;
}

void ProcessTree::setRoot(pid_t root) {
  drainEvents();
  root_ = root;
  std::string rootName;
  if (const auto stat = posix::processStatOf(root)) {
    rootStartTicks_ = stat->startTicks;
    rootName = stat->name;
  }
  // Join what forked before we knew: the launch may fork at once.
  std::vector<pid_t> pending{root};
  while (!pending.empty()) {
    const pid_t pid = pending.back();
    pending.pop_back();
    if (members_.count(pid) != 0) continue;
    addMember(pid, pid == root ? rootStartTicks_ : 0, pid == root ? rootName : std::string(), pid != root);
    const auto [begin, end] = childrenSeen_.equal_range(pid);
    for (auto it = begin; it != end; ++it) pending.push_back(it->second);
  }
  childrenSeen_.clear();
  // Threads seen before: those of members stay known by their ids.
  std::erase_if(threadsOfMembers_, [this](const auto& thread) { return members_.count(thread.second) == 0; });
}

void ProcessTree::discoverChildren() {
  if (members_.empty()) return;
  const auto now = Clock::now();
  std::vector<pid_t> living;
  for (auto& [pid, member] : members_) {
    if (!member.goneSince) living.push_back(pid);
  }
  // Orphans of the tree that came to us as their subreaper: their parent
  // chain ends here, their session or group still names a member.
  if (posix::isChildSubreaper()) {
    for (const pid_t orphan : posix::childrenOf(::getpid())) {
      if (members_.count(orphan) != 0) continue;
      const auto stat = posix::processStatOf(orphan);
      if (stat && isLinkedToMemberInProc(orphan, *stat)) living.push_back(orphan);
    }
  }
  while (!living.empty()) {
    const pid_t pid = living.back();
    living.pop_back();
    const auto self = posix::processStatOf(pid);
    auto& member = members_[pid];
    if (!self || self->state == 'Z' || (member.startTicks != 0 && self->startTicks != member.startTicks)) {
      if (!member.goneSince) member.goneSince = now;
      continue;
    }
    member.name = self->name;  // it may have exec'd another program since
    for (const pid_t child : posix::childrenOf(pid)) {
      if (members_.count(child) != 0) continue;
      const auto stat = posix::processStatOf(child);
      if (!stat || stat->parent != pid) continue;
      addMember(child, stat->startTicks, stat->name);
      living.push_back(child);
    }
  }
}

bool ProcessTree::contains(pid_t pid, std::string_view name) {
  if (members_.empty() || pid <= 0) return false;
  drainEvents();
  const bool eventsTell = connector_.valid() && !lostEvents_;
  const auto now = Clock::now();
  if (const auto it = members_.find(pid); it != members_.end()) {
    Member& member = it->second;
    if (!eventsTell) {
      const auto stat = posix::processStatOf(pid);
      if (stat && member.startTicks != 0 && stat->startTicks != member.startTicks) {
        members_.erase(it);  // a newcomer under a member's old number
        return stat && isLinkedToMemberInProc(pid, *stat);
      }
      if (!stat && !member.goneSince) member.goneSince = now;
      if (stat && member.startTicks == 0) member.startTicks = stat->startTicks;
      if (stat) member.name = stat->name;
      // Gone, and the sender had another name: a newcomer that took the
      // number and ended before we could look (a fork storm wraps the pids
      // within seconds).
      if (!stat && !name.empty() && !member.name.empty() && name != member.name) return false;
    }
    if (expired(member, pid, now)) {
      members_.erase(pid);
      return false;
    }
    return true;
  }
  if (const auto thread = threadsOfMembers_.find(pid); thread != threadsOfMembers_.end()) {
    return contains(thread->second);
  }
  if (eventsTell) return false;  // every fork was seen
  const auto stat = posix::processStatOf(pid);
  return stat && isLinkedToMemberInProc(pid, *stat);
}

bool ProcessTree::isLinkedToMemberInProc(pid_t pid, const posix::ProcessStat& stat) {
  // Older than the launch: whatever its links say, it is not of this tree.
  if (rootStartTicks_ != 0 && stat.startTicks < rootStartTicks_) return false;
  // A member's number counts only while it still names that member: alive
  // with the start time we know, or gone within the grace.
  auto namesMember = [this](pid_t candidate) {
    const auto it = members_.find(candidate);
    if (it == members_.end()) return false;
    const auto now = posix::processStatOf(candidate);
    if (!now) return true;
    return it->second.startTicks == 0 || now->startTicks == it->second.startTicks;
  };
  // A session or process group keeps its leader's number while any process
  // is in it, and the kernel gives that number to no one else meanwhile: a
  // helper that outlived the member that made its session is still known
  // by it, even after init adopted it.
  bool linked = (stat.session > 0 && namesMember(stat.session)) ||
                (stat.processGroup > 0 && namesMember(stat.processGroup));
  pid_t current = stat.parent;
  for (int depth = 0; !linked && depth < kMaxAncestry && current > 1; ++depth) {
    if (namesMember(current)) {
      linked = true;
      break;
    }
    const auto parent = posix::processStatOf(current);
    if (!parent) break;
    current = parent->parent;
  }
  if (linked) addMember(pid, stat.startTicks, stat.name);
  return linked;
}

}  // namespace mf
