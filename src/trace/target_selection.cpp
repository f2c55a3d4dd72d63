// SPDX-License-Identifier: GPL-3.0-or-later
// Choosing the application to trace.

#include "trace/content_view.h"
#include "content_view_impl.h"
#include "trace/target_name.h"

namespace mf {

std::string applicationNameFromPath(std::string_view path) {
  // A folder given with a trailing slash still names its last component.
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const auto slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.empty()) return std::string(path);
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == name.size()) return std::string(name);
  const std::string_view stem = name.substr(0, dot);
  // ".hidden" and "..x" are names, not extensions of an empty name.
  if (stem.find_first_not_of('.') == std::string_view::npos) return std::string(name);
  return std::string(stem);
}

void ContentView::chooseApplication() {
  OperationScope scope(*this);
  OpenPanelConfiguration configuration;
  configuration.title = "Choose an application to trace";
  configuration.prompt = "Choose App";
  configuration.canChooseDirectories = false;
  configuration.applicationsOnly = true;
  const std::optional<std::string> chosen = services_.openPanel.run(configuration);
  if (!chosen || chosen->empty()) return;

  selectedAppURL_ = *chosen;
  selectedAppName_ = applicationNameFromPath(*chosen);
  selectedBundleIdentifier_ = services_.workspace.bundleIdentifier(*chosen);
  setStatus({TraceStatus::Kind::readyToTrace, selectedAppName_, 0});
  changed(Change::target);
}

}  // namespace mf
