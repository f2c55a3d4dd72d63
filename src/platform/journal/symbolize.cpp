// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/symbolize.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

#include <elfutils/libdwfl.h>
#include <gelf.h>

namespace mf {
namespace {

namespace fs = std::filesystem;

struct DebugLookup {
  std::string debugRoot;
};

// Only the build-ID road, and only on this machine: the library's standard
// callback would ask the debuginfod servers named in DEBUGINFOD_URLS (which
// Debian sets for every login shell), and a trace must not go on the network.
int findDebuginfo(Dwfl_Module* module, void** userdata, const char*, Dwarf_Addr, const char*, const char*, GElf_Word,
                  char** debuginfoFileName) {
  const auto* lookup = static_cast<const DebugLookup*>(*userdata);
  const unsigned char* bits = nullptr;
  GElf_Addr vaddr = 0;
  const int length = dwfl_module_build_id(module, &bits, &vaddr);
  if (length < 2 || lookup == nullptr) return -1;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string path = lookup->debugRoot + "/.build-id/";
  for (int i = 0; i < length; ++i) {
    path += kDigits[bits[i] >> 4];
    path += kDigits[bits[i] & 0xf];
    if (i == 0) path += '/';
  }
  path += ".debug";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) *debuginfoFileName = ::strdup(path.c_str());
  return fd;
}

std::string demangled(const char* name) {
  // Only a C++ symbol is mangled: a C function named "f" would otherwise
  // read as the type it also spells ("float").
  if (std::strncmp(name, "_Z", 2) != 0) return name;
  int status = 0;
  char* plain = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status != 0 || plain == nullptr) return name;
  std::string text = plain;
  std::free(plain);
  return text;
}

// The address at which the loaded file would hold `fileOffset`: the load
// segment that maps that byte of the file.
std::optional<GElf_Addr> addressOfOffset(Elf* elf, std::uint64_t fileOffset) {
  std::size_t count = 0;
  if (elf_getphdrnum(elf, &count) != 0) return std::nullopt;
  for (std::size_t i = 0; i < count; ++i) {
    GElf_Phdr header;
    if (gelf_getphdr(elf, static_cast<int>(i), &header) == nullptr || header.p_type != PT_LOAD) continue;
    if (fileOffset >= header.p_offset && fileOffset < header.p_offset + header.p_filesz) {
      return fileOffset - header.p_offset + header.p_vaddr;
    }
  }
  return std::nullopt;
}

// The source line by walking the units: a compiler that writes no
// .debug_aranges (clang, by default) leaves libdw's address lookup without
// an answer in the elfutils of Debian 12, which builds no ranges of its own.
bool lineFromUnits(Dwfl_Module* module, GElf_Addr at, CodeLocation& where) {
  Dwarf_Die* unit = nullptr;
  Dwarf_Addr bias = 0;
  while ((unit = dwfl_module_nextcu(module, unit, &bias)) != nullptr) {
    if (dwarf_haspc(unit, at - bias) <= 0) continue;
    Dwarf_Line* line = dwarf_getsrc_die(unit, at - bias);
    int number = 0;
    const char* source = line ? dwarf_linesrc(line, nullptr, nullptr) : nullptr;
    if (source == nullptr || dwarf_lineno(line, &number) != 0 || number <= 0) return false;
    where.sourceFile = fs::path(source).filename().string();
    where.line = number;
    return true;
  }
  return false;
}

// One file opened for lookups: its module, and where its debug file is
// looked for (the module's callbacks hold on to it).
class Session {
 public:
  Session(const std::string& path, const std::string& debugRoot) : lookup_(std::make_unique<DebugLookup>(DebugLookup{debugRoot})) {
    dwfl_ = dwfl_begin(&callbacks_);
    if (dwfl_ == nullptr) return;
    module_ = dwfl_report_offline(dwfl_, "", path.c_str(), -1);
    dwfl_report_end(dwfl_, nullptr, nullptr);
    if (module_ == nullptr) return;
    void** userdata = nullptr;
    dwfl_module_info(module_, &userdata, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (userdata != nullptr) *userdata = lookup_.get();
  }
  ~Session() {
    if (dwfl_ != nullptr) dwfl_end(dwfl_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The file's own build ID, raw; empty when it has none.
  std::string buildId() const {
    const unsigned char* bits = nullptr;
    GElf_Addr vaddr = 0;
    const int length = module_ ? dwfl_module_build_id(module_, &bits, &vaddr) : 0;
    return length > 0 ? std::string(reinterpret_cast<const char*>(bits), static_cast<std::size_t>(length)) : std::string();
  }

  std::optional<CodeLocation> locate(std::uint64_t fileOffset) {
    if (module_ == nullptr) return std::nullopt;
    GElf_Addr bias = 0;
    Elf* elf = dwfl_module_getelf(module_, &bias);
    const auto address = elf ? addressOfOffset(elf, fileOffset) : std::nullopt;
    if (!address) return std::nullopt;
    const GElf_Addr at = *address + bias;
    CodeLocation where;
    GElf_Off offset = 0;
    GElf_Sym symbol;
    if (const char* name = dwfl_module_addrinfo(module_, at, &offset, &symbol, nullptr, nullptr, nullptr)) {
      where.function = demangled(name);
    }
    if (Dwfl_Line* line = dwfl_module_getsrc(module_, at)) {
      int number = 0;
      if (const char* source = dwfl_lineinfo(line, nullptr, &number, nullptr, nullptr, nullptr); source && number > 0) {
        where.sourceFile = fs::path(source).filename().string();
        where.line = number;
      }
    }
    if (where.sourceFile.empty()) lineFromUnits(module_, at, where);
    if (where.function.empty() && where.sourceFile.empty()) return std::nullopt;
    return where;
  }

 private:
  std::unique_ptr<DebugLookup> lookup_;
  char* debuginfoPath_ = nullptr;
  const Dwfl_Callbacks callbacks_ = {
      .find_elf = dwfl_build_id_find_elf,
      .find_debuginfo = findDebuginfo,
      .section_address = dwfl_offline_section_address,
      .debuginfo_path = &debuginfoPath_,
  };
  Dwfl* dwfl_ = nullptr;
  Dwfl_Module* module_ = nullptr;
};

// Files kept open by the lookup thread, and answers kept for everyone.
constexpr std::size_t kMaxSessions = 8;
constexpr std::size_t kMaxAnswers = 4096;
// Crashes waiting for a lookup: more are reported without a function.
constexpr std::size_t kMaxQueued = 256;

std::string hexBytes(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xf];
  }
  return text;
}

}  // namespace

std::optional<CodeLocation> locateInFile(const std::string& path, std::uint64_t fileOffset,
                                         const std::string& debugRoot) {
  return Session(path, debugRoot).locate(fileOffset);
}

struct CrashLocator::Shared {
  struct Job {
    std::string key;        // what identifies the file's contents
    std::string path;
    std::string buildId;    // what the file must still have; empty: checked by device and inode
    std::uint64_t offset = 0;
  };
  using Answer = std::pair<std::string, std::uint64_t>;

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Job> queue;
  bool working = false;
  bool stopping = false;
  // A crash gave up waiting for the lookup that runs now: those queued
  // behind it do not wait too, or a debug file that takes a minute to read
  // would hold the trace 1.5 s for every crash of a burst.
  bool stalled = false;
  std::map<Answer, std::optional<CodeLocation>> answers;
  std::deque<Answer> answerOrder;  // the oldest answer goes first

  void remember(const Answer& answer, std::optional<CodeLocation> where) {
    if (answers.size() >= kMaxAnswers) {
      answers.erase(answerOrder.front());
      answerOrder.pop_front();
    }
    if (answers.emplace(answer, std::move(where)).second) answerOrder.push_back(answer);
  }

  // The lookup thread: one job after another until the locator is gone.
  static void work(const std::shared_ptr<Shared>& shared) {
    std::deque<std::pair<std::string, std::unique_ptr<Session>>> sessions;
    std::unique_lock lock(shared->mutex);
    for (;;) {
      shared->changed.wait(lock, [&] { return shared->stopping || !shared->queue.empty(); });
      if (shared->stopping) break;
      Job job = std::move(shared->queue.front());
      shared->queue.pop_front();
      if (shared->answers.count({job.key, job.offset}) != 0) continue;
      lock.unlock();
      auto session = std::find_if(sessions.begin(), sessions.end(), [&](const auto& open) { return open.first == job.key; });
      if (session == sessions.end()) {
        if (sessions.size() >= kMaxSessions) sessions.pop_front();
        sessions.emplace_back(job.key, std::make_unique<Session>(job.path, "/usr/lib/debug"));
        session = std::prev(sessions.end());
      }
      // The file at the path now must be the one that was mapped.
      std::optional<CodeLocation> where;
      if (job.buildId.empty() || session->second->buildId() == job.buildId) where = session->second->locate(job.offset);
      lock.lock();
      shared->remember({job.key, job.offset}, std::move(where));
      shared->stalled = false;
      shared->changed.notify_all();
    }
    shared->working = false;
  }
};

CrashLocator::CrashLocator(std::chrono::milliseconds limit) : limit_(limit), shared_(std::make_shared<Shared>()) {}

CrashLocator::~CrashLocator() {
  std::lock_guard lock(shared_->mutex);
  shared_->stopping = true;
  shared_->queue.clear();
  shared_->changed.notify_all();
}

std::optional<CodeLocation> CrashLocator::locateFault(KernelReport& report,
                                                      const std::optional<TreeSource::MappedFile>& mapped) {
  if (report.kind != KernelReport::Kind::fault || report.file.empty() || !mapped) return std::nullopt;
  // The kernel names the file by the last part of its path.
  if (fs::path(mapped->path).filename() != report.file || report.ip < mapped->start) return std::nullopt;
  const std::uint64_t offset = mapped->fileOffset + (report.ip - mapped->start);
  if (report.hasFileOffset && report.fileOffset != offset) return std::nullopt;  // not the mapping it faulted in
  report.fileOffset = offset;
  report.hasFileOffset = true;

  Shared::Job job{{}, mapped->path, mapped->buildId, offset};
  if (!mapped->buildId.empty()) {
    job.key = "build-id " + hexBytes(mapped->buildId);
  } else {
    struct stat info {};
    if (mapped->inode == 0 || ::stat(mapped->path.c_str(), &info) != 0 || info.st_ino != mapped->inode ||
        major(info.st_dev) != mapped->deviceMajor || minor(info.st_dev) != mapped->deviceMinor) {
      return std::nullopt;
    }
    job.key = "inode " + std::to_string(mapped->deviceMajor) + ":" + std::to_string(mapped->deviceMinor) + ":" +
              std::to_string(mapped->inode) + " " + mapped->path;
  }
  const Shared::Answer answer{job.key, offset};
  std::unique_lock lock(shared_->mutex);
  if (const auto known = shared_->answers.find(answer); known != shared_->answers.end()) return known->second;
  if (shared_->queue.size() >= kMaxQueued) return std::nullopt;
  shared_->queue.push_back(std::move(job));
  if (!shared_->working) {
    shared_->working = true;
    std::thread([shared = shared_] { Shared::work(shared); }).detach();
  }
  shared_->changed.notify_all();
  if (shared_->stalled) return std::nullopt;
  if (!shared_->changed.wait_for(lock, limit_, [&] { return shared_->answers.count(answer) != 0; })) {
    shared_->stalled = true;
    return std::nullopt;
  }
  return shared_->answers.at(answer);
}

}  // namespace mf
