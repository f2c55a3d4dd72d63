// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/system_calls.h"
#include "platform/spawn.h"
#include "trace/services.h"

namespace mf::os {

struct ForkRecord {
  enum class Kind : std::uint8_t { fork, exit, rename, mapping };
  Kind kind = Kind::fork;
  pid_t pid = 0;     // the process (thread group)
  pid_t tid = 0;     // the thread; equal to pid for the process itself
  pid_t parent = 0;  // fork: the process that forked
  std::uint64_t bootNanos = 0;  // when, on CLOCK_BOOTTIME (the clock of /proc's start times)
  std::string name;  // rename (an exec, or a thread named anew): the 15-byte name
  bool exec = false;  // rename: the name came with an exec (the old mappings are gone)

  // mapping: an executable mapping of a file, with the file's path as the
  // process named it and what the kernel read of the file itself: its build
  // ID (kernels from 5.12 on), else its device and inode.
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  std::uint64_t fileOffset = 0;
  std::string buildId;  // raw bytes, empty when the kernel gave none
  std::uint32_t deviceMajor = 0;
  std::uint32_t deviceMinor = 0;
  std::uint64_t inode = 0;
};

// The forks, execs and exits of one spawned process and all its descendants,
// as the kernel's performance events report them to the user who owns the
// processes. They need no privilege where perf_event_paranoid is 2 or less
// (Debian's default kernels say 3, many cloud kernels 2), so an ordinary user
// learns of a helper that lives a millisecond, which /proc cannot promise.
//
// The event is inherited from the thread that spawns, so only that thread's
// new process and what descends from it are recorded: spawnRecorded spawns on
// a short-lived thread of its own. The kernel writes a ring per CPU (an
// inherited event cannot share one); drain() merges them by time. Nothing is
// asked of the traced processes: no stop, no signal, no change they can see.
//
// A second event records the files the tree maps as code, each with the
// build ID the kernel read from it, in rings of their own: a program that
// maps many libraries can overflow those, and that costs only the knowledge
// of which file a crash was in, never a fork. It is the one witness of which
// file a process ran, at the moment it ran it; the kernel's crash line names
// the file by its base name only, and long after the process is gone.
class ForkRecorder final : public LaunchWitness {
 public:
  ForkRecorder() = default;
  ~ForkRecorder() override;
  ForkRecorder(const ForkRecorder&) = delete;
  ForkRecorder& operator=(const ForkRecorder&) = delete;

  // Whether this user may record here (tried once, on a thread of its own).
  static bool available();
  // Spawns as spawnProcess does; `recorder` is set when recording began
  // (before the spawn, so the very first fork is in it), else left empty.
  static Spawned spawnRecorded(const SpawnRequest& request, std::shared_ptr<ForkRecorder>& recorder);

  // Readable when a ring has filled past its mark; drain() before then too.
  int pollFd() const { return epoll_.get(); }
  // Appends what was recorded since the last call, in the order it happened.
  void drain(std::vector<ForkRecord>& out);
  // The kernel dropped records (a ring overflowed): they are not all here.
  bool lostRecords() const { return lost_; }
  // Whether mappings are recorded at all, and whether some were dropped.
  bool recordsMappings() const { return mappingRings_ != 0; }
  bool lostMappings() const { return lostMappings_; }

 private:
  struct Ring {
    UniqueFd fd;
    void* base = nullptr;
    std::size_t mappedBytes = 0;
    bool mappings = false;
  };
  bool openOnThisThread();
  void openMappingsOnThisThread(std::size_t cpus, std::size_t pageSize);
  bool addRing(long fd, std::size_t dataBytes, std::size_t pageSize, bool mappings);
  void readRing(Ring& ring, std::vector<ForkRecord>& out);

  std::vector<Ring> rings_;  // the forks' rings, then the mappings'
  std::size_t mappingRings_ = 0;
  UniqueFd epoll_;
  bool lost_ = false;
  bool lostMappings_ = false;
};

}  // namespace mf::os
