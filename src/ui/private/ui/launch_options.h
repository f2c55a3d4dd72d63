// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What a traced run gets besides the target's own command: more arguments
// and environment variables. The window keeps them per target for as long as
// it lives, and remembers which recorded session ran with which, so the
// detail pane can say what a run was given.

#include <QDialog>
#include <QString>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/launch_session.h"
#include "model/uuid.h"

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QLabel;
class QPushButton;

namespace mf::ui {

struct LaunchOptions {
  std::vector<std::string> arguments;
  std::vector<std::pair<std::string, std::string>> environment;
  // Whether Qt programs get QT_MESSAGE_PATTERN with their level in front.
  bool qtLevelPrefix = true;
  // [USER@]HOST the target runs and is traced on, through ssh; empty for this machine.
  std::string host = {};
  bool empty() const { return arguments.empty() && environment.empty() && qtLevelPrefix && host.empty(); }
  friend bool operator==(const LaunchOptions&, const LaunchOptions&) = default;
};

// The dialog's two fields read back: the arguments split as a shell splits
// words (single and double quotes, backslash), the environment one NAME=VALUE
// per line (blank lines and lines starting with '#' skipped). On a mistake,
// `error` says which line or quote and nothing is returned.
struct ParsedLaunchOptions {
  std::optional<LaunchOptions> options;
  QString error;
};
ParsedLaunchOptions parseLaunchOptions(const QString& arguments, const QString& environment);
// The host field read back: trimmed; an error when ssh could not take it as
// one host (blanks inside, a leading '-' it would read as an option).
QString hostError(const QString& host);
// The fields' text for options, such that parsing it gives them back.
QString argumentsText(const LaunchOptions& options);
QString environmentText(const LaunchOptions& options);
// One line per kind, for the sidebar, the detail pane and a card's tooltip:
// "Host: tester@testvm", "Arguments: --verbose 'a b'" and
// "Environment: G_MESSAGES_DEBUG=all".
QString describeLaunchOptions(const LaunchOptions& options);

// Per target, and per recorded session.
class LaunchOptionsBook {
 public:
  const LaunchOptions& forTarget(const std::string& target) const;
  void setForTarget(const std::string& target, LaunchOptions options);
  // A trace of `target` is starting: its options are the ones its sessions ran with.
  const LaunchOptions& beginTrace(const std::string& target);
  // Ties every session not seen before to the trace started last (only the
  // window's own trace records sessions), and forgets sessions no longer kept.
  void noteSessions(const std::vector<LaunchSession>& sessions);
  // Null when the session ran with none.
  const LaunchOptions* forSession(const Uuid& id) const;
  const LaunchOptions* forCurrentTrace() const;

 private:
  std::map<std::string, LaunchOptions> targets_;
  std::unordered_map<Uuid, LaunchOptions, UuidHash> sessions_;
  std::unordered_map<Uuid, bool, UuidHash> seen_;
  std::optional<std::pair<std::string, LaunchOptions>> current_;
};

// Edits the options of one target.
class LaunchOptionsDialog final : public QDialog {
 public:
  LaunchOptionsDialog(const QString& targetName, const LaunchOptions& options, QWidget* parent = nullptr);
  // Valid once accepted.
  const LaunchOptions& options() const { return options_; }

  void accept() override;

 private:
  void validate();

  QLineEdit* host_;
  QLineEdit* arguments_;
  QPlainTextEdit* environment_;
  QCheckBox* qtLevels_;
  QLabel* error_;
  QPushButton* ok_;
  LaunchOptions options_;
};

}  // namespace mf::ui
