// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel_report.h"

namespace mf {

// The function and source line at `fileOffset` of the ELF file `path`, from
// the file's own symbols or from a debug file found by its build ID under
// `debugRoot` (Debian's -dbgsym packages put them there). Local files only:
// no debuginfod server is asked, whatever the environment says.
std::optional<CodeLocation> locateInFile(const std::string& path, std::uint64_t fileOffset,
                                         const std::string& debugRoot = "/usr/lib/debug");

// The kernel names a mapped file by its base name only, and the process
// that mapped it is gone by the time its line is read. The file is looked
// for where the process could have loaded it from: a known executable of the
// tree, the folders its RUNPATH names, its own folder, then the system's
// library folders and PATH.
std::optional<std::string> findMappedFile(std::string_view baseName, const std::vector<std::string>& executables);

// The file offset of the code `offsetInMapping` bytes into the executable
// mapping of `path`: what older kernels leave out of their fault lines. The
// loader maps each executable load segment from its page-aligned file
// offset, so the offset follows from the segment that can hold it.
std::optional<std::uint64_t> codeOffsetInFile(const std::string& path, std::uint64_t offsetInMapping);

// Symbol lookups for crash reports, each bounded in time: a large debug file
// may take long to read, and the trace waits for the lookup. A lookup that
// runs past its time is left to finish on its own and the report goes out
// without a function; no second one starts while it runs.
class CrashLocator {
 public:
  explicit CrashLocator(std::chrono::milliseconds limit = std::chrono::milliseconds(1500)) : limit_(limit) {}

  // An executable the traced tree runs, for finding files by base name.
  void noteExecutable(const std::string& path);
  std::optional<CodeLocation> locate(std::string_view fileBaseName, std::uint64_t fileOffset);
  // The location of a fault; fills in the report's file offset where the
  // kernel gave only the mapping's start.
  std::optional<CodeLocation> locateFault(KernelReport& report);

 private:
  std::chrono::milliseconds limit_;
  std::vector<std::string> executables_;
  std::shared_ptr<std::atomic<bool>> busy_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace mf
