// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel_report.h"
#include "platform/tree_source.h"

namespace mf {

// The function and source line at `fileOffset` of the ELF file `path`, from
// the file's own symbols or from a debug file found by its build ID under
// `debugRoot` (Debian's -dbgsym packages put them there). Local files only:
// no debuginfod server is asked, whatever the environment says.
std::optional<CodeLocation> locateInFile(const std::string& path, std::uint64_t fileOffset,
                                         const std::string& debugRoot = "/usr/lib/debug");

// Symbol lookups for crash reports. The kernel's line names the faulting
// file by its base name only, long after the process is gone; a file found
// by that name may be another program of the same name, whose function would
// be a confident lie. So a file is looked in only when the kernel's own
// record of the mapping vouches for it: its path as mapped, and the build ID
// (or device and inode) of what was mapped there, which the file at that
// path must still have.
//
// Each crash waits for its lookup at most `limit` (a large debug file may
// take long to read, and the trace waits for it); a lookup that runs longer
// goes on, for the crashes that come after, which meanwhile do not wait. Lookups run one after another on
// a thread of the locator's own, from a bounded queue; the files they open
// and their answers are kept by build ID and offset, so a burst of crashes
// in one program costs one reading of its debug information.
class CrashLocator {
 public:
  explicit CrashLocator(std::chrono::milliseconds limit = std::chrono::milliseconds(1500));
  ~CrashLocator();
  CrashLocator(const CrashLocator&) = delete;
  CrashLocator& operator=(const CrashLocator&) = delete;

  // The location of a fault in `mapped`, the file the process had mapped at
  // the faulting address; nothing where no mapping is known, where the
  // kernel's line names another file, or where the file at the path is no
  // longer the one that was mapped (rebuilt, replaced). Fills in the
  // report's file offset where the kernel gave only the mapping's start.
  std::optional<CodeLocation> locateFault(KernelReport& report, const std::optional<TreeSource::MappedFile>& mapped);

 private:
  struct Shared;
  std::chrono::milliseconds limit_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace mf
