#include "platform/process_tree.h"

#include <algorithm>
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
// The parent's pid in /proc/<pid>/stat.
constexpr int kParentField = 4;

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
  const proc_cn_mcast_op op = PROC_CN_MCAST_LISTEN;
  std::memcpy(reinterpret_cast<char*>(message) + sizeof(cn_msg), &op, sizeof op);
  if (posix::retryOnEintr([&] { return ::send(fd.get(), request, sizeof request, 0); }) < 0) return {};
  return fd;
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
      if (event.what != proc_event::PROC_EVENT_FORK) continue;
      const auto& fork = event.event_data.fork;
      // A new thread is a fork within one thread group: nothing new to follow.
      if (fork.child_tgid == fork.parent_tgid) continue;
      handleFork(fork.parent_tgid, fork.child_tgid);
    }
  }
}

void ProcessTree::handleFork(pid_t parent, pid_t child) {
  if (members_.empty()) {
    if (childrenSeen_.size() < kMaxForksBeforeRoot) childrenSeen_.emplace(parent, child);
    return;
  }
  if (members_.count(parent) != 0) members_.insert(child);
}

void ProcessTree::setRoot(pid_t root) {
  drainEvents();
  // Join what forked before we knew: the launch may fork at once.
  std::vector<pid_t> pending{root};
  while (!pending.empty()) {
    const pid_t pid = pending.back();
    pending.pop_back();
    if (!members_.insert(pid).second) continue;
    const auto [begin, end] = childrenSeen_.equal_range(pid);
    for (auto it = begin; it != end; ++it) pending.push_back(it->second);
  }
  childrenSeen_.clear();
}

bool ProcessTree::contains(pid_t pid) {
  if (members_.empty() || pid <= 0) return false;
  if (members_.count(pid) != 0) return true;
  drainEvents();
  if (members_.count(pid) != 0) return true;
  if (connector_.valid() && !lostEvents_) return false;  // every fork was seen
  if (descendsFromMemberInProc(pid)) {
    members_.insert(pid);
    return true;
  }
  return false;
}

bool ProcessTree::descendsFromMemberInProc(pid_t pid) {
  pid_t current = pid;
  for (int depth = 0; depth < kMaxAncestry; ++depth) {
    const auto parent = posix::statFieldOf(current, kParentField);
    if (!parent || *parent <= 1) return false;
    current = static_cast<pid_t>(*parent);
    if (members_.count(current) != 0) return true;
  }
  return false;
}

}  // namespace mf
