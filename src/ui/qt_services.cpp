// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/qt_services.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QScreen>
#include <QSplitter>
#include <QTreeView>
#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QMessageBox>
#include <QMetaObject>
#include <QSortFilterProxyModel>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mf::ui {

// ---------------------------------------------------------------- QtMainQueue

QtMainQueue::QtMainQueue() : shared_(std::make_shared<Shared>()) {
  shared_->receiver = new QObject();
  if (auto* app = QCoreApplication::instance()) shared_->receiver->moveToThread(app->thread());
}

QtMainQueue::~QtMainQueue() {
  std::lock_guard lock(shared_->mutex);
  // Deleting the receiver also removes the posts still queued for it.
  delete shared_->receiver;
  shared_->receiver = nullptr;
}

void QtMainQueue::post(std::function<void()> task) {
  std::lock_guard lock(shared_->mutex);
  if (shared_->receiver == nullptr) return;
  QMetaObject::invokeMethod(
      shared_->receiver, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

void QtMainQueue::wait(double seconds) {
  if (!(seconds > 0)) {
    // Still let work already posted run, as a zero-length wait would.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    return;
  }
  QEventLoop loop;
  QTimer timer;
  timer.setSingleShot(true);
  timer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
  timer.start(static_cast<int>(std::lround(seconds * 1000.0)));
  loop.exec(QEventLoop::ExcludeUserInputEvents);
}

// ---------------------------------------------------------------- QtOpenPanel

bool looksLikeApplication(const std::string& path) {
  const QFileInfo info(QString::fromStdString(path));
  if (!info.isFile()) return false;
  if (info.suffix() == QLatin1String("desktop")) return true;
  return info.isExecutable();
}

QString desktopEntryName(const QString& path) {
  if (!path.endsWith(QLatin1String(".desktop"))) return {};
  // Non-blocking and regular files only: a FIFO named *.desktop in a folder
  // the user browses must not hang the chooser.
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return {};
  struct stat info {};
  QFile file;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
    ::close(fd);
    return {};
  }
  const QByteArray head = file.read(qint64{64} * 1024);
  bool inEntry = false;
  for (const QByteArray& raw : head.split('\n')) {
    const QByteArray line = raw.trimmed();
    if (line.startsWith('[')) {
      if (inEntry) break;
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    if (!inEntry || !line.startsWith("Name")) continue;
    const qsizetype equals = line.indexOf('=');
    if (equals < 0 || line.left(equals).trimmed() != "Name") continue;
    return QString::fromUtf8(line.mid(equals + 1).trimmed());
  }
  return {};
}

QList<ChooserPlace> chooserPlaces() {
  const QString home = QDir::homePath();
  QString userApplications = qEnvironmentVariable("XDG_DATA_HOME");
  if (userApplications.isEmpty()) userApplications = home + QStringLiteral("/.local/share");
  userApplications += QStringLiteral("/applications");
  const QList<ChooserPlace> candidates{
      {QStringLiteral("My Applications"), userApplications},
      {QStringLiteral("System Applications"), QStringLiteral("/usr/share/applications")},
      {QStringLiteral("Local Applications"), QStringLiteral("/usr/local/share/applications")},
      {QStringLiteral("Flatpak Applications"), QStringLiteral("/var/lib/flatpak/exports/share/applications")},
      {QStringLiteral("Home"), home},
  };
  QList<ChooserPlace> places;
  for (const ChooserPlace& place : candidates) {
    if (QFileInfo(place.path).isDir()) places << place;
  }
  return places;
}

QString chooserStartFolder() {
  for (const ChooserPlace& place : chooserPlaces()) {
    if (place.path != QDir::homePath()) return place.path;
  }
  return QDir::homePath();
}

QString chooserFilterLabel() {
  return QStringLiteral("Applications \u2014 desktop entries and executables (*)");
}

namespace {

constexpr int kDisplayNameColumn = 2;

// Shows folders and the files the chooser offers; hides everything else.
// A desktop entry's display name (its Name=) stands beside its file name.
class ApplicationFilter final : public QSortFilterProxyModel {
 public:
  explicit ApplicationFilter(ApplicationPredicate isApplication, QObject* parent)
      : QSortFilterProxyModel(parent), isApplication_(std::move(isApplication)) {}

  QVariant data(const QModelIndex& index, int role) const override {
    if (index.column() == kDisplayNameColumn && (role == Qt::DisplayRole || role == Qt::ToolTipRole)) {
      auto* model = qobject_cast<QFileSystemModel*>(sourceModel());
      const QModelIndex source = mapToSource(index);
      if (model != nullptr && !model->isDir(source)) {
        const QString path = model->filePath(source);
        auto cached = names_.constFind(path);
        if (cached == names_.constEnd()) cached = names_.insert(path, desktopEntryName(path));
        if (!cached->isEmpty()) return *cached;
        return QStringLiteral("Program");
      }
    }
    return QSortFilterProxyModel::data(index, role);
  }

  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (section == kDisplayNameColumn && orientation == Qt::Horizontal && role == Qt::DisplayRole) {
      return QStringLiteral("Application");
    }
    return QSortFilterProxyModel::headerData(section, orientation, role);
  }

 protected:
  bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override {
    auto* model = qobject_cast<QFileSystemModel*>(sourceModel());
    if (model == nullptr) return true;
    const QModelIndex index = model->index(sourceRow, 0, sourceParent);
    if (model->isDir(index)) return true;
    // The test may read the file (a desktop entry's Type, an executable's
    // header), and the view asks again on every sort and refresh.
    const QString path = model->filePath(index);
    const auto cached = verdicts_.constFind(path);
    if (cached != verdicts_.constEnd()) return *cached;
    const bool accepted = isApplication_(path.toStdString());
    verdicts_.insert(path, accepted);
    return accepted;
  }

 private:
  ApplicationPredicate isApplication_;
  mutable QHash<QString, bool> verdicts_;
  mutable QHash<QString, QString> names_;
};

// The side panel names a place by its folder's name, so "applications" and
// "applications" (or "bin" and "bin") could not be told apart; it gets the
// places' own labels, again whenever the panel refreshes an entry.
void labelPlaces(QFileDialog& dialog, const QList<ChooserPlace>& places) {
  auto* sidebar = dialog.findChild<QAbstractItemView*>(QStringLiteral("sidebar"));
  if (sidebar == nullptr || sidebar->model() == nullptr) return;
  QAbstractItemModel* model = sidebar->model();
  auto relabel = [model, places, busy = std::make_shared<bool>(false)] {
    if (*busy) return;
    *busy = true;
    constexpr int kUrlRole = Qt::UserRole + 1;
    for (int row = 0; row < model->rowCount(); ++row) {
      const QModelIndex index = model->index(row, 0);
      const QString path = index.data(kUrlRole).toUrl().toLocalFile();
      for (const ChooserPlace& place : places) {
        if (QDir::cleanPath(place.path) == QDir::cleanPath(path) && index.data().toString() != place.label) {
          model->setData(index, place.label, Qt::DisplayRole);
          model->setData(index, place.path, Qt::ToolTipRole);
        }
      }
    }
    *busy = false;
  };
  relabel();
  QObject::connect(model, &QAbstractItemModel::dataChanged, &dialog, relabel);
  QObject::connect(model, &QAbstractItemModel::rowsInserted, &dialog, relabel);
}

}  // namespace

QtOpenPanel::QtOpenPanel(ApplicationPredicate isApplication) : isApplication_(std::move(isApplication)) {}

std::optional<std::string> QtOpenPanel::run(const OpenPanelConfiguration& configuration) {
  const QString title = configuration.title.empty() ? QStringLiteral("Choose an application to trace")
                                                    : QString::fromStdString(configuration.title);
  const QString prompt =
      configuration.prompt.empty() ? QStringLiteral("Choose App") : QString::fromStdString(configuration.prompt);
  const QString start = lastDirectory_.isEmpty() ? chooserStartFolder() : lastDirectory_;
  const QList<ChooserPlace> places = chooserPlaces();

  while (true) {
    QFileDialog dialog(parent_, title, start);
    dialog.setObjectName(QStringLiteral("openPanel"));
    // The native dialog cannot take a proxy filter, so the chooser would offer any file.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setFileMode(configuration.canChooseDirectories ? QFileDialog::Directory : QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setLabelText(QFileDialog::Accept, prompt);
    dialog.setWindowModality(Qt::ApplicationModal);
    if (configuration.applicationsOnly) {
      dialog.setProxyModel(new ApplicationFilter(isApplication_, &dialog));
      // The filter says what is listed; the pattern behind it lets the
      // predicate decide, as executables have no suffix to match.
      dialog.setOption(QFileDialog::HideNameFilterDetails, true);
      dialog.setNameFilter(chooserFilterLabel());
    }
    dialog.setViewMode(QFileDialog::Detail);
    QList<QUrl> urls;
    for (const ChooserPlace& place : places) urls << QUrl::fromLocalFile(place.path);
    dialog.setSidebarUrls(urls);
    labelPlaces(dialog, places);
    // Wide enough for every column in full (name, size, application, date),
    // within the screen.
    QScreen* screen = parent_ != nullptr ? parent_->screen() : QGuiApplication::primaryScreen();
    const int width = screen != nullptr ? std::min(1000, screen->availableGeometry().width() - 40) : 1000;
    dialog.resize(width, 540);
    if (auto* splitter = dialog.findChild<QSplitter*>(QStringLiteral("splitter"))) {
      splitter->setSizes({170, width - 170});
    }
    if (auto* tree = dialog.findChild<QTreeView*>(QStringLiteral("treeView"))) {
      tree->header()->setStretchLastSection(true);
      tree->header()->resizeSection(0, 230);
      tree->header()->resizeSection(1, 80);
      tree->header()->resizeSection(kDisplayNameColumn, 190);
    }

    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) return std::nullopt;
    const QString& chosen = files.first();
    lastDirectory_ = QFileInfo(chosen).absolutePath();
    if (!configuration.applicationsOnly || isApplication_(chosen.toStdString())) return chosen.toStdString();

    // A name typed into the field bypasses the filter; say why it is refused
    // and let the user choose again rather than tracing something that cannot launch.
    QMessageBox::warning(parent_, title,
                         QStringLiteral("\u201C%1\u201D is not an application. Choose a desktop entry or an "
                                        "executable file.")
                             .arg(QFileInfo(chosen).fileName()));
  }
}

// ---------------------------------------------------------------- QtPasteboard

void QtPasteboard::setString(const std::string& text) {
  if (auto* clipboard = QGuiApplication::clipboard()) {
    clipboard->setText(QString::fromStdString(text), QClipboard::Clipboard);
  }
}

}  // namespace mf::ui
