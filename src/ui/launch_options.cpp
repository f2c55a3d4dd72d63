// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/launch_options.h"

#include <QCheckBox>

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/tokens.h"
#include "ui/widgets.h"

namespace mf::ui {

namespace {

bool isNameStart(QChar c) { return c == QLatin1Char('_') || (c.unicode() < 0x80 && c.isLetter()); }
bool isNameChar(QChar c) { return isNameStart(c) || (c.unicode() < 0x80 && c.isDigit()); }

// Words as a POSIX shell splits them, without expansions.
std::optional<QStringList> splitWords(const QString& text, QString& error) {
  QStringList words;
  QString word;
  bool inWord = false;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c == QLatin1Char('\'')) {
      const qsizetype end = text.indexOf(QLatin1Char('\''), i + 1);
      if (end < 0) {
        error = QStringLiteral("Arguments: a single quote is not closed");
        return std::nullopt;
      }
      word += text.mid(i + 1, end - i - 1);
      inWord = true;
      i = end;
    } else if (c == QLatin1Char('"')) {
      qsizetype j = i + 1;
      for (; j < text.size() && text[j] != QLatin1Char('"'); ++j) {
        if (text[j] == QLatin1Char('\\') && j + 1 < text.size() &&
            QStringLiteral("\"\\$`").contains(text[j + 1])) {
          ++j;
        }
        word += text[j];
      }
      if (j >= text.size()) {
        error = QStringLiteral("Arguments: a double quote is not closed");
        return std::nullopt;
      }
      inWord = true;
      i = j;
    } else if (c == QLatin1Char('\\')) {
      // A backslash at the very end has nothing to quote: a shell keeps it.
      word += i + 1 < text.size() ? text[++i] : c;
      inWord = true;
    } else if (c.isSpace()) {
      if (inWord) words << word;
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words << word;
  return words;
}

QString quoted(const QString& word) {
  static const QString safe = QStringLiteral("@%+=:,./-_");
  bool plain = !word.isEmpty();
  for (QChar c : word) {
    if (!(c.unicode() < 0x80 && (c.isLetterOrNumber() || safe.contains(c)))) plain = false;
  }
  if (plain) return word;
  QString out = word;
  out.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
  return QLatin1Char('\'') + out + QLatin1Char('\'');
}

QString q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

ParsedLaunchOptions parseLaunchOptions(const QString& arguments, const QString& environment) {
  ParsedLaunchOptions result;
  const std::optional<QStringList> words = splitWords(arguments, result.error);
  if (!words) return result;
  LaunchOptions options;
  for (const QString& word : *words) options.arguments.push_back(word.toStdString());
  const QStringList lines = environment.split(QLatin1Char('\n'));
  for (qsizetype n = 0; n < lines.size(); ++n) {
    const QString line = lines[n].trimmed();
    if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
    const qsizetype equals = line.indexOf(QLatin1Char('='));
    bool valid = equals > 0 && isNameStart(line[0]);
    for (qsizetype i = 1; valid && i < equals; ++i) valid = isNameChar(line[i]);
    if (!valid) {
      result.error = QStringLiteral("Environment line %1: \u201C%2\u201D is not NAME=VALUE").arg(n + 1).arg(line);
      return result;
    }
    options.environment.emplace_back(line.left(equals).toStdString(), line.mid(equals + 1).toStdString());
  }
  result.options = std::move(options);
  return result;
}

QString hostError(const QString& host) {
  const QString trimmed = host.trimmed();
  bool blank = false;
  for (QChar c : trimmed) blank = blank || c.isSpace() || c.category() == QChar::Other_Control;
  if (blank || trimmed.startsWith(QLatin1Char('-'))) {
    return QStringLiteral("Host: \u201C%1\u201D is not one host name ssh can take").arg(trimmed);
  }
  return {};
}

QString argumentsText(const LaunchOptions& options) {
  QStringList words;
  for (const std::string& argument : options.arguments) words << quoted(q(argument));
  return words.join(QLatin1Char(' '));
}

QString environmentText(const LaunchOptions& options) {
  QStringList lines;
  for (const auto& [name, value] : options.environment) lines << q(name) + QLatin1Char('=') + q(value);
  return lines.join(QLatin1Char('\n'));
}

QString describeLaunchOptions(const LaunchOptions& options) {
  QStringList lines;
  if (!options.host.empty()) lines << QStringLiteral("Host: ") + q(options.host);
  if (!options.arguments.empty()) lines << QStringLiteral("Arguments: ") + argumentsText(options);
  if (!options.environment.empty()) {
    QStringList pairs;
    for (const auto& [name, value] : options.environment) pairs << q(name) + QLatin1Char('=') + quoted(q(value));
    lines << QStringLiteral("Environment: ") + pairs.join(QLatin1Char(' '));
  }
  if (!options.qtLevelPrefix) lines << QStringLiteral("Qt message levels: off");
  return lines.join(QLatin1Char('\n'));
}

// ---------------------------------------------------------------- LaunchOptionsBook

const LaunchOptions& LaunchOptionsBook::forTarget(const std::string& target) const {
  static const LaunchOptions none;
  const auto it = targets_.find(target);
  return it == targets_.end() ? none : it->second;
}

void LaunchOptionsBook::setForTarget(const std::string& target, LaunchOptions options) {
  if (options.empty()) targets_.erase(target);
  else targets_[target] = std::move(options);
}

const LaunchOptions& LaunchOptionsBook::beginTrace(const std::string& target) {
  current_.emplace(target, forTarget(target));
  return current_->second;
}

void LaunchOptionsBook::noteSessions(const std::vector<LaunchSession>& sessions) {
  std::unordered_map<Uuid, bool, UuidHash> kept;
  for (const LaunchSession& session : sessions) {
    kept[session.id] = true;
    if (seen_.count(session.id) != 0) continue;
    if (current_ && current_->first == session.appURL && !current_->second.empty()) {
      sessions_[session.id] = current_->second;
    }
  }
  std::erase_if(sessions_, [&](const auto& entry) { return kept.count(entry.first) == 0; });
  seen_ = std::move(kept);
}

const LaunchOptions* LaunchOptionsBook::forSession(const Uuid& id) const {
  const auto it = sessions_.find(id);
  return it == sessions_.end() ? nullptr : &it->second;
}

const LaunchOptions* LaunchOptionsBook::forCurrentTrace() const {
  return current_ && !current_->second.empty() ? &current_->second : nullptr;
}

// ---------------------------------------------------------------- LaunchOptionsDialog

LaunchOptionsDialog::LaunchOptionsDialog(const QString& targetName, const LaunchOptions& options, QWidget* parent)
    : QDialog(parent), options_(options) {
  setObjectName(QStringLiteral("launchOptionsDialog"));
  setWindowTitle(QStringLiteral("Launch Options for ") + targetName);
  setModal(true);
  auto* column = new QVBoxLayout(this);
  column->setSpacing(10);
  auto* intro = new QLabel(QStringLiteral("Used for every launch of %1 from this window, until you change them.")
                               .arg(targetName), this);
  intro->setTextFormat(Qt::PlainText);
  intro->setWordWrap(true);
  column->addWidget(intro);

  // A form, so a switch for the next option is one more row.
  auto* form = new QFormLayout();
  form->setLabelAlignment(Qt::AlignLeft | Qt::AlignTop);
  host_ = new QLineEdit(q(options.host), this);
  host_->setObjectName(QStringLiteral("launchHost"));
  host_->setPlaceholderText(QStringLiteral("This machine"));
  host_->setAccessibleName(QStringLiteral("Host"));
  host_->setToolTip(QStringLiteral(
      "[user@]host to run and trace the target on, through your ssh and its configuration; the path is the "
      "same there, and marrowfield-cli must be installed there. Empty: this machine"));
  form->addRow(QStringLiteral("&Host"), host_);
  arguments_ = new QLineEdit(argumentsText(options), this);
  arguments_->setObjectName(QStringLiteral("launchArguments"));
  arguments_->setPlaceholderText(QStringLiteral("--verbose \"a file.txt\""));
  arguments_->setAccessibleName(QStringLiteral("Arguments"));
  arguments_->setToolTip(QStringLiteral("Added after the target's own command, split into words as a shell does"));
  form->addRow(QStringLiteral("&Arguments"), arguments_);
  environment_ = new QPlainTextEdit(environmentText(options), this);
  environment_->setObjectName(QStringLiteral("launchEnvironment"));
  environment_->setPlaceholderText(QStringLiteral("G_MESSAGES_DEBUG=all"));
  environment_->setAccessibleName(QStringLiteral("Environment"));
  environment_->setToolTip(QStringLiteral("One NAME=VALUE per line; replaces or adds to the inherited environment"));
  environment_->setTabChangesFocus(true);
  environment_->setFont(fonts::mono(12));
  environment_->setFixedHeight(QFontMetrics(environment_->font()).lineSpacing() * 5 + 12);
  form->addRow(QStringLiteral("&Environment"), environment_);
  qtLevels_ = new QCheckBox(QStringLiteral("Give Qt programs their message level (QT_MESSAGE_PATTERN)"), this);
  qtLevels_->setObjectName(QStringLiteral("launchQtLevels"));
  qtLevels_->setChecked(options.qtLevelPrefix);
  qtLevels_->setToolTip(QStringLiteral(
      "Qt writes its warnings to stderr as bare text; with the level in front they are listed as warnings. "
      "Every program the target starts inherits the variable."));
  form->addRow(QString(), qtLevels_);
  column->addLayout(form);

  error_ = new QLabel(this);
  error_->setObjectName(QStringLiteral("launchOptionsError"));
  error_->setTextFormat(Qt::PlainText);
  error_->setWordWrap(true);
  setTextColor(error_, colors::red());
  column->addWidget(error_);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Reset, this);
  ok_ = buttons->button(QDialogButtonBox::Ok);
  buttons->button(QDialogButtonBox::Reset)->setText(QStringLiteral("Clear All"));
  QObject::connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  QObject::connect(buttons->button(QDialogButtonBox::Reset), &QPushButton::clicked, this, [this] {
    host_->clear();
    arguments_->clear();
    environment_->clear();
    qtLevels_->setChecked(true);
  });
  column->addWidget(buttons);

  QObject::connect(host_, &QLineEdit::textChanged, this, [this] { validate(); });
  QObject::connect(arguments_, &QLineEdit::textChanged, this, [this] { validate(); });
  QObject::connect(environment_, &QPlainTextEdit::textChanged, this, [this] { validate(); });
  validate();
  host_->setFocus();
}

void LaunchOptionsDialog::validate() {
  const ParsedLaunchOptions parsed = parseLaunchOptions(arguments_->text(), environment_->toPlainText());
  const QString error = hostError(host_->text()).isEmpty() ? parsed.error : hostError(host_->text());
  error_->setText(error);
  error_->setVisible(!error.isEmpty());
  // Named, so a screen reader says why OK is off.
  error_->setAccessibleName(error);
  ok_->setEnabled(error.isEmpty());
}

void LaunchOptionsDialog::accept() {
  ParsedLaunchOptions parsed = parseLaunchOptions(arguments_->text(), environment_->toPlainText());
  if (!parsed.options || !hostError(host_->text()).isEmpty()) return;
  options_ = std::move(*parsed.options);
  options_.qtLevelPrefix = qtLevels_->isChecked();
  options_.host = host_->text().trimmed().toStdString();
  QDialog::accept();
}

}  // namespace mf::ui
