// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/fork_records.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <ctime>
#include <linux/perf_event.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace mf::os {
namespace {

// Pages of records per CPU. A short-lived helper costs about 100 bytes
// (fork, exec, exit); the reader is woken at a quarter full, so even a fork
// storm is read long before its ring fills. Many CPUs get fewer pages each,
// as the kernel counts the rings against the user's locked memory.
std::size_t dataPagesPerRing(std::size_t cpus) {
  std::size_t pages = 16;
  while (pages > 2 && pages * cpus > 64) pages /= 2;
  return pages;
}

// An event that counts nothing and only writes records, for the launch's
// tree: inherited by every descendant, timed on CLOCK_BOOTTIME, the reader
// woken once `wakeAt` bytes wait.
perf_event_attr treeRecordAttributes(std::size_t wakeAt) {
  perf_event_attr attr{};
  attr.size = sizeof attr;
  attr.type = PERF_TYPE_SOFTWARE;
  attr.config = PERF_COUNT_SW_DUMMY;
  attr.inherit = 1;                   // every descendant carries it
  attr.exclude_kernel = 1;            // all that an unprivileged user may ask for
  attr.exclude_hv = 1;
  attr.sample_id_all = 1;             // a time on every record, exec included
  attr.sample_type = PERF_SAMPLE_TIME;
  attr.use_clockid = 1;
  attr.clockid = CLOCK_BOOTTIME;
  attr.watermark = 1;
  attr.wakeup_watermark = static_cast<std::uint32_t>(wakeAt);
  return attr;
}

perf_event_attr recordingAttributes(std::size_t ringBytes) {
  perf_event_attr attr = treeRecordAttributes(ringBytes / 4);
  attr.task = 1;                      // forks and exits
  attr.comm = 1;                      // new names: an exec, or a thread renamed
  attr.comm_exec = 1;
  return attr;
}

// Every code mapping of the tree: the file, where it lies, and its build ID.
// Data mappings are left out (mmap_data stays 0): only code can fault as a
// crash the kernel names by file.
perf_event_attr mappingAttributes(std::size_t ringBytes, bool buildId) {
  perf_event_attr attr = treeRecordAttributes(ringBytes / 2);
  attr.mmap = 1;
  attr.mmap2 = 1;
  attr.build_id = buildId ? 1 : 0;
  return attr;
}

long openEvent(perf_event_attr& attr, int cpu) {
  return ::syscall(SYS_perf_event_open, &attr, 0 /* this thread */, cpu, -1, PERF_FLAG_FD_CLOEXEC);
}

std::uint32_t u32At(const char* bytes) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

std::uint64_t u64At(const char* bytes) {
  std::uint64_t value = 0;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

}  // namespace

ForkRecorder::~ForkRecorder() {
  for (auto& ring : rings_) {
    if (ring.base) ::munmap(ring.base, ring.mappedBytes);
  }
}

bool ForkRecorder::addRing(long fd, std::size_t dataBytes, std::size_t pageSize, bool mappings) {
  Ring ring;
  ring.fd.reset(static_cast<int>(fd));
  ring.mappedBytes = dataBytes + pageSize;
  ring.mappings = mappings;
  void* base = ::mmap(nullptr, ring.mappedBytes, PROT_READ | PROT_WRITE, MAP_SHARED, ring.fd.get(), 0);
  if (base == MAP_FAILED) return false;  // over the user's locked-memory allowance
  ring.base = base;
  epoll_event interest{};
  interest.events = EPOLLIN;
  interest.data.u32 = static_cast<std::uint32_t>(rings_.size());
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, ring.fd.get(), &interest) != 0) {
    ::munmap(base, ring.mappedBytes);
    return false;
  }
  rings_.push_back(std::move(ring));
  return true;
}

bool ForkRecorder::openOnThisThread() {
  const long cpus = ::sysconf(_SC_NPROCESSORS_CONF);
  if (cpus <= 0) return false;
  const auto pageSize = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t dataBytes = dataPagesPerRing(static_cast<std::size_t>(cpus)) * pageSize;
  epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
  if (!epoll_.valid()) return false;
  for (int cpu = 0; cpu < cpus; ++cpu) {
    perf_event_attr attr = recordingAttributes(dataBytes);
    const long fd = openEvent(attr, cpu);
    if (fd < 0) {
      // A CPU that is offline runs nothing of ours; any other refusal is the
      // kernel's no to this user.
      if (errno == ENODEV && cpu > 0) continue;
      return false;
    }
    if (!addRing(fd, dataBytes, pageSize, false)) return false;
  }
  if (rings_.empty()) return false;
  openMappingsOnThisThread(static_cast<std::size_t>(cpus), pageSize);
  return true;
}

void ForkRecorder::openMappingsOnThisThread(std::size_t cpus, std::size_t pageSize) {
  // Half the forks' rings: mappings come at an exec, not at every fork, and
  // the user's locked memory is shared with every other trace.
  const std::size_t dataBytes = std::max<std::size_t>(dataPagesPerRing(cpus) / 2, 1) * pageSize;
  const std::size_t forkRings = rings_.size();
  // The build ID comes with kernels from 5.12 on; older ones refuse the bit
  // and give the file's device and inode instead.
  bool buildId = true;
  for (std::size_t cpu = 0; cpu < cpus; ++cpu) {
    perf_event_attr attr = mappingAttributes(dataBytes, buildId);
    long fd = openEvent(attr, static_cast<int>(cpu));
    if (fd < 0 && errno == EINVAL && buildId) {
      buildId = false;
      attr = mappingAttributes(dataBytes, false);
      fd = openEvent(attr, static_cast<int>(cpu));
    }
    if (fd < 0 && errno == ENODEV && cpu > 0) continue;
    if (fd < 0 || !addRing(fd, dataBytes, pageSize, true)) {
      // Without every CPU's ring a mapping could be missed unseen: none at all.
      for (std::size_t i = forkRings; i < rings_.size(); ++i) {
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, rings_[i].fd.get(), nullptr);
        ::munmap(rings_[i].base, rings_[i].mappedBytes);
      }
      rings_.resize(forkRings);
      return;
    }
  }
  mappingRings_ = rings_.size() - forkRings;
}

bool ForkRecorder::available() {
  static const bool canRecord = [] {
    bool opened = false;
    // On a thread that ends at once, so the probe's event follows nothing.
    std::thread([&opened] {
      ForkRecorder probe;
      opened = probe.openOnThisThread();
    }).join();
    return opened;
  }();
  return canRecord;
}

Spawned ForkRecorder::spawnRecorded(const SpawnRequest& request, std::shared_ptr<ForkRecorder>& recorder) {
  Spawned spawned;
  auto candidate = std::make_shared<ForkRecorder>();
  bool recording = false;
  // The thread ends after the spawn: the event it carried lives on in the
  // child's tree and in our descriptors, and no later fork of ours is in it.
  std::thread([&] {
    recording = available() && candidate->openOnThisThread();
    spawned = spawnProcess(request);
  }).join();
  if (recording && spawned.pid > 0) recorder = std::move(candidate);
  return spawned;
}

void ForkRecorder::readRing(Ring& ring, std::vector<ForkRecord>& out) {
  auto* meta = static_cast<perf_event_mmap_page*>(ring.base);
  const char* data = static_cast<const char*>(ring.base) + meta->data_offset;
  const std::uint64_t size = meta->data_size;
  const std::uint64_t head = __atomic_load_n(&meta->data_head, __ATOMIC_ACQUIRE);
  std::uint64_t tail = meta->data_tail;
  // A mapping's record holds its file's path, up to PATH_MAX.
  std::array<char, 4096 + 128> record{};
  while (tail < head) {
    perf_event_header header{};
    for (std::size_t i = 0; i < sizeof header; ++i) {
      reinterpret_cast<char*>(&header)[i] = data[(tail + i) % size];
    }
    if (header.size < sizeof header) {  // never written so: give up the rest rather than spin on it
      (ring.mappings ? lostMappings_ : lost_) = true;
      tail = head;
      break;
    }
    const std::size_t length = std::min<std::size_t>(header.size, record.size());
    for (std::size_t i = 0; i < length; ++i) record[i] = data[(tail + i) % size];
    tail += header.size;
    const char* body = record.data() + sizeof header;
    const std::size_t bodyLength = length - sizeof header;
    // The kernel sends forks and exits to a mapping event too: they are the
    // fork rings' to tell, once.
    if (ring.mappings && header.type != PERF_RECORD_MMAP2 && header.type != PERF_RECORD_LOST) continue;
    ForkRecord parsed;
    switch (header.type) {
      case PERF_RECORD_FORK:
      case PERF_RECORD_EXIT:
        // pid, ppid, tid, ptid, time; then the sample id's time.
        if (bodyLength < 24) continue;
        parsed.kind = header.type == PERF_RECORD_FORK ? ForkRecord::Kind::fork : ForkRecord::Kind::exit;
        parsed.pid = static_cast<pid_t>(u32At(body));
        parsed.parent = static_cast<pid_t>(u32At(body + 4));
        parsed.tid = static_cast<pid_t>(u32At(body + 8));
        parsed.bootNanos = u64At(body + 16);
        break;
      case PERF_RECORD_COMM:
        // pid, tid, the name (NUL-padded to 8 bytes); then the sample id's time.
        if (bodyLength < 16) continue;
        parsed.kind = ForkRecord::Kind::rename;
        parsed.pid = static_cast<pid_t>(u32At(body));
        parsed.tid = static_cast<pid_t>(u32At(body + 4));
        parsed.name.assign(body + 8, strnlen(body + 8, bodyLength - 16));
        parsed.bootNanos = u64At(body + bodyLength - 8);
        parsed.exec = (header.misc & PERF_RECORD_MISC_COMM_EXEC) != 0;
        break;
      case PERF_RECORD_MMAP2: {
        // pid, tid, addr, len, pgoff; build ID or device and inode; prot,
        // flags; the path (NUL-padded to 8 bytes); then the sample id's time.
        if (bodyLength < 72 || header.size > record.size()) continue;
        parsed.kind = ForkRecord::Kind::mapping;
        parsed.pid = static_cast<pid_t>(u32At(body));  // a mapping is its process's, whichever thread made it
        parsed.start = u64At(body + 8);
        parsed.length = u64At(body + 16);
        parsed.fileOffset = u64At(body + 24);
        if ((header.misc & PERF_RECORD_MISC_MMAP_BUILD_ID) != 0) {
          const auto size = std::min<std::size_t>(static_cast<unsigned char>(body[32]), 20);
          parsed.buildId.assign(body + 36, size);
        } else {
          parsed.deviceMajor = u32At(body + 32);
          parsed.deviceMinor = u32At(body + 36);
          parsed.inode = u64At(body + 40);
        }
        parsed.name.assign(body + 64, strnlen(body + 64, bodyLength - 72));
        parsed.bootNanos = u64At(body + bodyLength - 8);
        break;
      }
      case PERF_RECORD_LOST:
        (ring.mappings ? lostMappings_ : lost_) = true;
        continue;
      default:
        continue;
    }
    out.push_back(std::move(parsed));
  }
  __atomic_store_n(&meta->data_tail, tail, __ATOMIC_RELEASE);
}

void ForkRecorder::drain(std::vector<ForkRecord>& out) {
  const std::size_t first = out.size();
  for (auto& ring : rings_) readRing(ring, out);
  // Each ring is in order; a child's fork and its exit may be in different ones.
  std::stable_sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(),
                   [](const ForkRecord& a, const ForkRecord& b) { return a.bootNanos < b.bootNanos; });
  // Once the whole tree has ended the kernel says so for good: stop
  // listening, or every poll would return at once.
  std::array<epoll_event, 16> ready{};
  const int count = ::epoll_wait(epoll_.get(), ready.data(), static_cast<int>(ready.size()), 0);
  for (int i = 0; i < count; ++i) {
    if ((ready[static_cast<std::size_t>(i)].events & (EPOLLHUP | EPOLLERR)) == 0) continue;
    const auto index = ready[static_cast<std::size_t>(i)].data.u32;
    if (index < rings_.size()) ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, rings_[index].fd.get(), nullptr);
  }
}

}  // namespace mf::os
