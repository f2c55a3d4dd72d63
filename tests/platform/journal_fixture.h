// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace mf::testing {

// Makes /dev/log lead to journald's syslog socket when nothing is there (as
// root). True when /dev/log leads somewhere, so syslog(3) lines have a way in.
bool ensureSyslogSocketLink();

// Makes sure a systemd-journald accepts connections for the whole test
// program. An existing one is used as is; otherwise one is started (as root)
// and stopped by its pid when the last test program that uses it ends. Test
// programs run in parallel share it through a lock file: each holds a shared
// lock while it runs, and only the one that can take the lock exclusively at
// the end stops the journald.
//
// An ordinary user cannot start one: when none runs, or the user may not
// read it, a program made with `everyTestNeedsIt` false runs its tests all
// the same, and each test that needs the journal says so with
// MF_NEEDS_JOURNAL() and is skipped with the reason.
class JournalEnvironment : public ::testing::Environment {
 public:
  explicit JournalEnvironment(bool everyTestNeedsIt = true) : everyTestNeedsIt_(everyTestNeedsIt) {}
  void SetUp() override;
  void TearDown() override;
  static inline std::optional<std::string> missing;  // why the journal's tests cannot run here, if they cannot

 private:
  bool everyTestNeedsIt_;
  int lockFd_ = -1;
};

#define MF_NEEDS_JOURNAL() if (const auto& why = ::mf::testing::JournalEnvironment::missing) GTEST_SKIP() << *why

}  // namespace mf::testing
