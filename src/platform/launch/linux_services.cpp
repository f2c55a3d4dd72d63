// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux_services.h"

#include <utility>

namespace mf {

LinuxServices::LinuxServices(MainQueue& queue, JournalLogStreamLauncher::Options streamOptions)
    : mainQueue(queue), workspace(queue), logStreams(std::move(streamOptions)) {}

ContentView::Services LinuxServices::services(OpenPanel& openPanel, Pasteboard& pasteboard) {
  return ContentView::Services{mainQueue, clock, ids, logStreams, workspace, remote, openPanel, pasteboard};
}

}  // namespace mf
