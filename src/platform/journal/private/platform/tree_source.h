// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace mf {

class LaunchWitness;

// What a trace's capture asks of the launched process tree: whether a pid is
// one of its members, and what code a member had mapped. ProcessTree answers
// for this machine, from the kernel's fork events, the launch's fork records
// or /proc. Another source (a recorded trace's tree, the tests' fixed one)
// plugs in here; one that needs no events to learn its tree keeps the
// defaults of the event part below.
class TreeSource {
 public:
  // A file a member mapped as code, as the kernel recorded it when it was
  // mapped (see os::ForkRecorder).
  struct MappedFile {
    std::string path;
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    std::uint64_t fileOffset = 0;  // of `start` in the file
    std::string buildId;           // raw bytes; empty where the kernel gave device and inode
    std::uint32_t deviceMajor = 0;
    std::uint32_t deviceMinor = 0;
    std::uint64_t inode = 0;
  };

  virtual ~TreeSource() = default;

  // The launched process is known. `witness`: what the launch learnt of its
  // tree, for the source that can read it.
  virtual void setRoot(pid_t root, std::shared_ptr<LaunchWitness> witness) = 0;
  // Whether `pid` is the root or descends from it. Asked for nearly every
  // journal entry, on the reader thread: cheap where it can be. `name`, the sender's 15-byte comm as the
  // journal recorded it, and `sentMicros`, when the kernel stamped the entry
  // as it was sent (a datagram), may tell a member from a newcomer that took
  // its number; empty and 0 where unknown.
  virtual bool contains(pid_t pid, std::string_view name, std::uint64_t sentMicros) = 0;
  // The file that process (or thread) `pid` had mapped as code at
  // `address`, where the source knows; asked about a crash after its exit.
  virtual std::optional<MappedFile> mappedFileAt(pid_t /*pid*/, std::uint64_t /*address*/) { return std::nullopt; }

  // Whether the tree's forks are known as they happen. Where not, it is
  // asked to look for new children (discoverChildren) every
  // JournalCapture::kDiscoverMillis while a launch is followed.
  virtual bool seesForks() const { return true; }
  // The descriptor for poll() that says fork events wait, or -1.
  virtual int eventFd() const { return -1; }
  // Takes in every fork and exit event waiting, without blocking.
  virtual void drainEvents() {}
  virtual void discoverChildren() {}
};

}  // namespace mf
