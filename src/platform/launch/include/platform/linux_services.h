// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/linux_workspace.h"
#include "platform/log_stream.h"
#include "platform/ssh_launcher.h"
#include "platform/system_clock.h"
#include "trace/content_view.h"

namespace mf {

// The Linux services of one ContentView: the clock, the id source, the
// journal's log stream, the workspace and ssh. The caller brings the main queue
// (Qt's in the window, an event loop of its own in the CLI and the tests) and
// the open panel and pasteboard, which differ between them; everything else a
// trace needs on Linux is wired here once.
class LinuxServices {
 public:
  explicit LinuxServices(MainQueue& mainQueue, JournalLogStreamLauncher::Options streamOptions = {});
  LinuxServices(const LinuxServices&) = delete;
  LinuxServices& operator=(const LinuxServices&) = delete;

  ContentView::Services services(OpenPanel& openPanel, Pasteboard& pasteboard);

  MainQueue& mainQueue;
  SystemClock clock;
  RandomIdSource ids;
  // Destroyed before the workspace: a stream that lingers after its trace is
  // ended first.
  LinuxWorkspace workspace;
  JournalLogStreamLauncher logStreams;
  SshLauncher remote;
};

}  // namespace mf
