// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/symbolize.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <elfutils/libdwfl.h>
#include <gelf.h>

namespace mf {
namespace {

namespace fs = std::filesystem;

// How many executables of a tree are remembered for finding files.
constexpr std::size_t kMaxExecutables = 64;

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

// The folders an executable's RUNPATH (or old RPATH) names, $ORIGIN resolved.
std::vector<std::string> runPaths(const std::string& executable) {
  std::vector<std::string> dirs;
  const int fd = ::open(executable.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return dirs;
  elf_version(EV_CURRENT);
  Elf* elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
  const std::string origin = fs::path(executable).parent_path().string();
  for (Elf_Scn* section = elf ? elf_nextscn(elf, nullptr) : nullptr; section != nullptr;
       section = elf_nextscn(elf, section)) {
    GElf_Shdr header;
    if (gelf_getshdr(section, &header) == nullptr || header.sh_type != SHT_DYNAMIC || header.sh_entsize == 0) continue;
    Elf_Data* data = elf_getdata(section, nullptr);
    for (std::size_t i = 0; data != nullptr && i < header.sh_size / header.sh_entsize; ++i) {
      GElf_Dyn entry;
      if (gelf_getdyn(data, static_cast<int>(i), &entry) == nullptr) break;
      if (entry.d_tag != DT_RUNPATH && entry.d_tag != DT_RPATH) continue;
      const char* text = elf_strptr(elf, header.sh_link, entry.d_un.d_val);
      std::string_view list = text ? text : "";
      while (!list.empty()) {
        const auto colon = list.find(':');
        std::string dir(list.substr(0, colon));
        for (const char* token : {"$ORIGIN", "${ORIGIN}"}) {
          if (const auto at = dir.find(token); at != std::string::npos) dir.replace(at, std::strlen(token), origin);
        }
        if (!dir.empty()) dirs.push_back(dir);
        list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
      }
    }
  }
  if (elf) elf_end(elf);
  ::close(fd);
  return dirs;
}

bool isRegularFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
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

}  // namespace

std::optional<CodeLocation> locateInFile(const std::string& path, std::uint64_t fileOffset,
                                         const std::string& debugRoot) {
  DebugLookup lookup{debugRoot};
  char* debuginfoPath = nullptr;
  const Dwfl_Callbacks callbacks = {
      .find_elf = dwfl_build_id_find_elf,
      .find_debuginfo = findDebuginfo,
      .section_address = dwfl_offline_section_address,
      .debuginfo_path = &debuginfoPath,
  };
  Dwfl* dwfl = dwfl_begin(&callbacks);
  if (dwfl == nullptr) return std::nullopt;
  std::optional<CodeLocation> found;
  Dwfl_Module* module = dwfl_report_offline(dwfl, "", path.c_str(), -1);
  dwfl_report_end(dwfl, nullptr, nullptr);
  if (module != nullptr) {
    void** userdata = nullptr;
    dwfl_module_info(module, &userdata, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (userdata != nullptr) *userdata = &lookup;
    GElf_Addr bias = 0;
    Elf* elf = dwfl_module_getelf(module, &bias);
    const auto address = elf ? addressOfOffset(elf, fileOffset) : std::nullopt;
    if (address) {
      const GElf_Addr at = *address + bias;
      CodeLocation where;
      GElf_Off offset = 0;
      GElf_Sym symbol;
      if (const char* name = dwfl_module_addrinfo(module, at, &offset, &symbol, nullptr, nullptr, nullptr)) {
        where.function = demangled(name);
      }
      if (Dwfl_Line* line = dwfl_module_getsrc(module, at)) {
        int number = 0;
        if (const char* source = dwfl_lineinfo(line, nullptr, &number, nullptr, nullptr, nullptr); source && number > 0) {
          where.sourceFile = fs::path(source).filename().string();
          where.line = number;
        }
      }
      if (where.sourceFile.empty()) lineFromUnits(module, at, where);
      if (!where.function.empty() || !where.sourceFile.empty()) found = where;
    }
  }
  dwfl_end(dwfl);
  return found;
}

std::optional<std::string> findMappedFile(std::string_view baseName, const std::vector<std::string>& executables) {
  if (baseName.empty() || baseName.find('/') != std::string_view::npos) return std::nullopt;
  for (const auto& executable : executables) {
    if (fs::path(executable).filename() == baseName) return executable;
  }
  std::vector<std::string> dirs;
  for (const auto& executable : executables) {
    for (auto& dir : runPaths(executable)) dirs.push_back(std::move(dir));
    const fs::path own = fs::path(executable).parent_path();
    dirs.push_back(own.string());
    dirs.push_back((own / "lib").string());
    dirs.push_back((own.parent_path() / "lib").string());
  }
#ifdef MARROWFIELD_LIBRARY_ARCH
  for (const char* root : {"/lib/", "/usr/lib/", "/usr/local/lib/"}) {
    dirs.push_back(std::string(root) + MARROWFIELD_LIBRARY_ARCH);
  }
#endif
  for (const char* dir : {"/lib64", "/usr/lib64", "/lib", "/usr/lib", "/usr/local/lib"}) dirs.emplace_back(dir);
  if (const char* path = std::getenv("PATH")) {
    std::string_view list = path;
    while (!list.empty()) {
      const auto colon = list.find(':');
      if (colon != 0) dirs.emplace_back(list.substr(0, colon));
      list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
    }
  }
  for (const auto& dir : dirs) {
    const std::string candidate = dir + "/" + std::string(baseName);
    if (isRegularFile(candidate)) return candidate;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> codeOffsetInFile(const std::string& path, std::uint64_t offsetInMapping) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  elf_version(EV_CURRENT);
  Elf* elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
  std::optional<std::uint64_t> found;
  std::size_t count = 0;
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  if (elf != nullptr && elf_getphdrnum(elf, &count) == 0) {
    for (std::size_t i = 0; i < count && !found; ++i) {
      GElf_Phdr header;
      if (gelf_getphdr(elf, static_cast<int>(i), &header) == nullptr || header.p_type != PT_LOAD ||
          (header.p_flags & PF_X) == 0) {
        continue;
      }
      const std::uint64_t offset = (header.p_offset & ~(page - 1)) + offsetInMapping;
      if (offset >= header.p_offset && offset < header.p_offset + header.p_filesz) found = offset;
    }
  }
  if (elf) elf_end(elf);
  ::close(fd);
  return found;
}

std::optional<CodeLocation> CrashLocator::locateFault(KernelReport& report) {
  if (report.kind != KernelReport::Kind::fault || report.file.empty()) return std::nullopt;
  if (!report.hasFileOffset) {
    const auto path = findMappedFile(report.file, executables_);
    if (!path || report.mappingStart == 0 || report.ip < report.mappingStart) return std::nullopt;
    const auto offset = codeOffsetInFile(*path, report.ip - report.mappingStart);
    if (!offset) return std::nullopt;
    report.fileOffset = *offset;
    report.hasFileOffset = true;
  }
  return locate(report.file, report.fileOffset);
}

void CrashLocator::noteExecutable(const std::string& path) {
  if (path.empty() || executables_.size() >= kMaxExecutables) return;
  if (std::find(executables_.begin(), executables_.end(), path) != executables_.end()) return;
  executables_.push_back(path);
  // The kernel names the file a link leads to.
  std::error_code error;
  const std::string target = fs::canonical(path, error).string();
  if (!error && target != path) noteExecutable(target);
}

std::optional<CodeLocation> CrashLocator::locate(std::string_view fileBaseName, std::uint64_t fileOffset) {
  const auto path = findMappedFile(fileBaseName, executables_);
  if (!path) return std::nullopt;
  bool idle = false;
  if (!busy_->compare_exchange_strong(idle, true)) return std::nullopt;
  struct Result {
    std::mutex mutex;
    std::condition_variable done;
    bool isDone = false;
    std::optional<CodeLocation> where;
  };
  auto result = std::make_shared<Result>();
  std::thread([result, busy = busy_, file = *path, fileOffset] {
    auto where = locateInFile(file, fileOffset);
    {
      std::lock_guard lock(result->mutex);
      result->where = std::move(where);
      result->isDone = true;
    }
    result->done.notify_all();
    busy->store(false);
  }).detach();
  std::unique_lock lock(result->mutex);
  if (!result->done.wait_for(lock, limit_, [&] { return result->isDone; })) return std::nullopt;
  return std::move(result->where);
}

}  // namespace mf
