// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/process_tree.h"

#include "platform/fork_records.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <poll.h>
#include <cstring>
#include <ctime>
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
// How far apart the wall clock and the boot clock may be read.
constexpr std::uint64_t kClockSlackMicros = 5000;
// The processes whose code mappings are kept, and the mappings of each: a
// fork storm or a program that maps and unmaps code without end must not
// grow them without bound.
constexpr std::size_t kMaxMappedProcesses = 16384;
constexpr std::size_t kMaxMappingsPerProcess = 4096;
// How long the kernel may take to acknowledge that it will send events.
constexpr auto kAckTimeout = std::chrono::milliseconds(500);

os::UniqueFd openConnector() {
  os::UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_CONNECTOR));
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
  if (os::retryOnEintr([&] { return ::send(fd.get(), request, sizeof request, 0); }) < 0) return {};
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
    if (left <= 0 || os::retryOnEintr([&] { return ::poll(&ready, 1, static_cast<int>(left)); }) <= 0) return {};
    const auto got = os::retryOnEintr([&] { return ::recv(fd.get(), buffer, sizeof buffer, 0); });
    if (got <= 0) continue;
    auto length = static_cast<std::size_t>(got);
    for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, length);
         header = NLMSG_NEXT(header, length)) {
      const auto* message = static_cast<const cn_msg*>(NLMSG_DATA(header));
      if (message->id.idx != CN_IDX_PROC || message->id.val != CN_VAL_PROC) continue;
      proc_event event{};
      std::memcpy(&event, message->data, std::min<std::size_t>(message->len, sizeof event));
      if (event.what != proc_event::PROC_EVENT_NONE || message->ack != expectedAck) continue;
      return event.event_data.ack.err == 0 ? std::move(fd) : os::UniqueFd();
    }
  }
}

// The connector stamps its events on the monotonic clock.
std::uint64_t wallMicrosOfMonotonic(std::uint64_t monotonicNanos) {
  timespec wall{};
  timespec monotonic{};
  ::clock_gettime(CLOCK_REALTIME, &wall);
  ::clock_gettime(CLOCK_MONOTONIC, &monotonic);
  const auto nanos = [](const timespec& t) { return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; };
  const std::int64_t wallNanos = static_cast<std::int64_t>(monotonicNanos) + nanos(wall) - nanos(monotonic);
  return wallNanos > 0 ? static_cast<std::uint64_t>(wallNanos) / 1000 : 0;
}

// /proc's start times are in clock ticks since boot.
std::uint64_t nanosPerTick() {
  static const std::uint64_t nanos = 1000000000ULL / static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));
  return nanos;
}

}  // namespace

ProcessTree::ProcessTree() : connector_(openConnector()) {}

ProcessTree::~ProcessTree() = default;

int ProcessTree::eventFd() const {
  if (connector_.valid()) return connector_.get();
  return recorder_ ? recorder_->pollFd() : -1;
}

void ProcessTree::drainEvents() {
  if (connector_.valid()) drainConnector();
  // With the connector the records are read for the mappings alone.
  if (recorder_) drainRecorder();
}

void ProcessTree::drainConnector() {
  alignas(nlmsghdr) char buffer[8192];
  for (;;) {
    const auto got = os::retryOnEintr([&] { return ::recv(connector_.get(), buffer, sizeof buffer, 0); });
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
          handleFork(fork.parent_tgid, fork.child_tgid, 0, wallMicrosOfMonotonic(event.timestamp_ns));
        } else {
          handleThread(fork.child_pid, fork.child_tgid);
        }
      } else if (event.what == proc_event::PROC_EVENT_EXIT) {
        const auto& exit = event.event_data.exit;
        // A thread's end is not the process's.
        if (exit.process_pid == exit.process_tgid) handleExit(exit.process_tgid);
      }
    }
  }
}

void ProcessTree::drainRecorder() {
  records_.clear();
  recorder_->drain(records_);
  const bool forMembership = !connector_.valid();
  if (forMembership && recorder_->lostRecords()) lostEvents_ = true;
  // Records are stamped on the boot clock, the journal on the wall clock.
  timespec wall{};
  timespec boot{};
  ::clock_gettime(CLOCK_REALTIME, &wall);
  ::clock_gettime(CLOCK_BOOTTIME, &boot);
  const auto nanos = [](const timespec& t) { return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; };
  const std::int64_t wallMinusBoot = nanos(wall) - nanos(boot);
  for (const auto& record : records_) {
    recordMappings(record);
    if (!forMembership) continue;
    // A thread's records are not its process's, as with the connector.
    const bool ofProcess = record.tid == record.pid;
    switch (record.kind) {
      case os::ForkRecord::Kind::fork:
        if (ofProcess) {
          handleFork(record.parent, record.pid, record.bootNanos);
        } else {
          handleThread(record.tid, record.pid);
        }
        break;
      case os::ForkRecord::Kind::exit:
        if (!ofProcess) break;
        handleExit(record.pid);
        if (const auto it = members_.find(record.pid); it != members_.end()) {
          it->second.exitMicros = static_cast<std::uint64_t>(static_cast<std::int64_t>(record.bootNanos) + wallMinusBoot) / 1000;
        }
        break;
      case os::ForkRecord::Kind::rename:
        // The name journald reads is the main thread's.
        if (const auto it = members_.find(record.pid); ofProcess && it != members_.end()) it->second.name = record.name;
        break;
      case os::ForkRecord::Kind::mapping:
        break;
    }
  }
}

void ProcessTree::recordMappings(const os::ForkRecord& record) {
  switch (record.kind) {
    case os::ForkRecord::Kind::fork:
      // The child runs its parent's code until it execs.
      if (record.tid != record.pid) return;
      if (const auto parent = mappings_.find(record.parent); parent != mappings_.end()) {
        Mappings shared = parent->second;
        if (mappings_.size() < kMaxMappedProcesses) mappings_[record.pid] = std::move(shared);
      } else {
        mappings_.erase(record.pid);
      }
      return;
    case os::ForkRecord::Kind::rename:
      if (record.exec) mappings_.erase(record.pid);  // the old image is gone
      return;
    case os::ForkRecord::Kind::mapping: {
      if (record.name.empty() || record.name.front() != '/') return;  // [vdso] and anonymous code
      if (mappings_.size() >= kMaxMappedProcesses && mappings_.count(record.pid) == 0) {
        // Keep the members' maps; what is left of outsiders and of the
        // long gone goes first.
        std::erase_if(mappings_, [this](const auto& entry) { return members_.count(entry.first) == 0; });
        if (mappings_.size() >= kMaxMappedProcesses) return;
      }
      const Mappings& slot = mappings_[record.pid];
      auto copy = slot ? std::make_shared<std::vector<MappedFile>>(*slot) : std::make_shared<std::vector<MappedFile>>();
      if (copy->size() >= kMaxMappingsPerProcess) return;
      copy->push_back(MappedFile{record.name, record.start, record.length, record.fileOffset, record.buildId,
                                 record.deviceMajor, record.deviceMinor, record.inode});
      mappings_[record.pid] = std::move(copy);
      return;
    }
    case os::ForkRecord::Kind::exit:
      return;
  }
}

std::optional<ProcessTree::MappedFile> ProcessTree::mappedFileAt(pid_t pid, std::uint64_t address) {
  drainEvents();
  // The kernel names a faulting thread by its own id.
  if (const auto thread = threadsOfMembers_.find(pid); thread != threadsOfMembers_.end()) pid = thread->second;
  const auto it = mappings_.find(pid);
  if (it == mappings_.end() || !it->second) return std::nullopt;
  // The latest mapping over the address is the one that was there.
  for (auto mapping = it->second->rbegin(); mapping != it->second->rend(); ++mapping) {
    if (address >= mapping->start && address - mapping->start < mapping->length) return *mapping;
  }
  return std::nullopt;
}

void ProcessTree::handleThread(pid_t thread, pid_t process) {
  if (members_.empty()) {
    if (threadsOfMembers_.size() < kMaxForksBeforeRoot) threadsOfMembers_[thread] = process;
  } else if (const auto it = members_.find(process); it != members_.end() && !it->second.goneSince) {
    threadsOfMembers_[thread] = process;
  }
}

void ProcessTree::handleFork(pid_t parent, pid_t child, std::uint64_t bootNanos, std::uint64_t forkMicros) {
  if (members_.empty()) {
    if (childrenSeen_.size() < kMaxForksBeforeRoot) childrenSeen_.emplace(parent, child);
    return;
  }
  const auto it = members_.find(parent);
  if (it != members_.end() && !it->second.goneSince) {
    addForked(child, bootNanos, it->second.name);
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
  // pid's entries are the outsider's, but what the member sent before still
  // arrives after, and is its own.
  noteHandedOver(child, known->second.exitMicros != 0 ? known->second.exitMicros : forkMicros);
  members_.erase(known);
}

void ProcessTree::noteHandedOver(pid_t pid, std::uint64_t untilMicros) {
  if (untilMicros == 0) return;
  if (handedOver_.size() >= kMaxForksBeforeRoot) handedOver_.clear();
  handedOver_[pid] = untilMicros;
}

void ProcessTree::addForked(pid_t child, std::uint64_t bootNanos, const std::string& parentName) {
  // Its start time lets /proc tell it from a newcomer under its number.
  const auto stat = os::processStatOf(child);
  if (bootNanos == 0) {
    addMember(child, stat ? stat->startTicks : 0, stat ? stat->name : std::string(), true);
    return;
  }
  // A record is read a while after the fork, when the number may already be
  // an outsider's: the record's own time says which start is the child's.
  // The kernel notes the start a moment before it writes the record.
  const auto ticks = bootNanos / nanosPerTick();
  if (stat && (stat->startTicks == ticks || stat->startTicks + 1 == ticks)) {
    addMember(child, stat->startTicks, stat->name, true);
    return;
  }
  // Gone already: a fork keeps its parent's name until it execs, which a
  // later record tells.
  addMember(child, ticks, parentName, true);
  members_[child].startRoundedUp = true;
}

bool ProcessTree::startsAt(const Member& member, unsigned long long ticks) {
  return member.startTicks == 0 || ticks == member.startTicks ||
         (member.startRoundedUp && ticks + 1 == member.startTicks);
}

void ProcessTree::handleExit(pid_t pid) {
  const auto it = members_.find(pid);
  if (it != members_.end() && !it->second.goneSince) it->second.goneSince = Clock::now();
}

void ProcessTree::addMember(pid_t pid, unsigned long long startTicks, std::string name, bool forkSeen) {
  members_[pid] = Member{startTicks, false, std::move(name), forkSeen, std::nullopt};
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
  const auto stat = os::processStatOf(pid);
  if (stat && stat->state != 'Z' && stat->state != 'X' && startsAt(member, stat->startTicks)) {
    member.goneSince.reset();
    return false;
  }
  return true;
}

void ProcessTree::setRoot(pid_t root, std::shared_ptr<LaunchWitness> witness) {
  drainEvents();
  root_ = root;
  std::string rootName;
  if (const auto stat = os::processStatOf(root)) {
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
  // The launch's records wait in the kernel's rings until read: read with
  // the root known, everything of the tree is in them, in order. With the
  // connector they still tell which files the tree ran.
  auto recorder = std::dynamic_pointer_cast<os::ForkRecorder>(std::move(witness));
  if (recorder) {
    recorder_ = std::move(recorder);
    drainEvents();
  }
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
  if (os::isChildSubreaper()) {
    for (const pid_t orphan : os::childrenOf(::getpid())) {
      if (members_.count(orphan) != 0) continue;
      const auto stat = os::processStatOf(orphan);
      if (stat && isLinkedToMemberInProc(orphan, *stat)) living.push_back(orphan);
    }
  }
  while (!living.empty()) {
    const pid_t pid = living.back();
    living.pop_back();
    const auto self = os::processStatOf(pid);
    auto& member = members_[pid];
    if (!self || self->state == 'Z' || !startsAt(member, self->startTicks)) {
      if (!member.goneSince) member.goneSince = now;
      continue;
    }
    member.name = self->name;  // it may have exec'd another program since
    for (const pid_t child : os::childrenOf(pid)) {
      if (members_.count(child) != 0) continue;
      const auto stat = os::processStatOf(child);
      if (!stat || stat->parent != pid) continue;
      addMember(child, stat->startTicks, stat->name);
      living.push_back(child);
    }
  }
}

bool ProcessTree::contains(pid_t pid, std::string_view name, std::uint64_t sentMicros) {
  // Followed once the root is set, even with every member gone: the last one's
  // number may be a stranger's already, and its last words still to come.
  if (root_ == 0 || pid <= 0) return false;
  drainEvents();
  if (const auto it = handedOver_.find(pid); it != handedOver_.end() && sentMicros != 0 && sentMicros <= it->second) {
    return true;
  }
  // The launch's records show the tree's forks, but not an outsider's that
  // takes a member's number, nor what a setuid program in the tree starts
  // (the kernel stops recording at its exec): /proc answers for those.
  const bool outsidersForksSeen = connector_.valid() && !lostEvents_;
  const auto now = Clock::now();
  if (const auto it = members_.find(pid); it != members_.end()) {
    Member& member = it->second;
    if (!outsidersForksSeen) {
      const auto stat = os::processStatOf(pid);
      if (stat && !startsAt(member, stat->startTicks)) {
        // A newcomer under a member's old number.
        const std::uint64_t exitMicros = member.exitMicros;
        noteHandedOver(pid, exitMicros);
        members_.erase(it);
        if (sentMicros != 0 && sentMicros <= exitMicros) return true;
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
    // Sent after the member's exit: by a newcomer under its number, which a
    // fork storm hands out within the grace. (The slack covers the moment
    // between reading the two clocks.)
    return member.exitMicros == 0 || sentMicros == 0 || sentMicros <= member.exitMicros + kClockSlackMicros;
  }
  if (const auto thread = threadsOfMembers_.find(pid); thread != threadsOfMembers_.end()) {
    return contains(thread->second);
  }
  if (outsidersForksSeen) return false;  // every fork was seen
  const auto stat = os::processStatOf(pid);
  return stat && isLinkedToMemberInProc(pid, *stat);
}

bool ProcessTree::isLinkedToMemberInProc(pid_t pid, const os::ProcessStat& stat) {
  // Older than the launch: whatever its links say, it is not of this tree.
  if (rootStartTicks_ != 0 && stat.startTicks < rootStartTicks_) return false;
  // A member's number counts only while it still names that member: alive
  // with the start time we know, or gone within the grace.
  auto namesMember = [this](pid_t candidate) {
    const auto it = members_.find(candidate);
    if (it == members_.end()) return false;
    const auto now = os::processStatOf(candidate);
    if (!now) return true;
    return startsAt(it->second, now->startTicks);
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
    const auto parent = os::processStatOf(current);
    if (!parent) break;
    current = parent->parent;
  }
  if (linked) addMember(pid, stat.startTicks, stat.name);
  return linked;
}

}  // namespace mf
