// SPDX-License-Identifier: GPL-3.0-or-later
// The kernel-report parser on arbitrary lines, as the kernel's log or
// journald's audit socket would hand them on: no crash, no hang, and a
// report names a pid that the line itself holds.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_common.h"
#include "platform/kernel_report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses how journald filed the line.
  mf::JournalEntry entry;
  entry.transport = data[0] & 1 ? "audit" : "kernel";
  entry.identifier = data[0] & 2 ? "audit" : "kernel";
  entry.message.assign(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto report = mf::parseKernelReport(entry);
  if (!report) return 0;
  const std::string line = mf::kernelLine(entry);
  const std::string pid = std::to_string(report->pid);
  if (report->pid <= 0 || line.find(pid) == std::string::npos) {
    mf::fuzz::mismatch("a report whose pid the line does not hold", line, pid, {});
  }
  if (mf::describeKernelReport(*report, std::nullopt).empty()) mf::fuzz::mismatch("an empty text", line, {}, {});
  return 0;
}
