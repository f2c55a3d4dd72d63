// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <gtest/gtest.h>

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
class JournalEnvironment : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;

 private:
  int lockFd_ = -1;
};

}  // namespace mf::testing
