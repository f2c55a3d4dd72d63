#include "ui/qt_services.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
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

namespace {

// Shows folders and the files the chooser offers; hides everything else.
class ApplicationFilter final : public QSortFilterProxyModel {
 public:
  explicit ApplicationFilter(ApplicationPredicate isApplication, QObject* parent)
      : QSortFilterProxyModel(parent), isApplication_(std::move(isApplication)) {}

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
};

}  // namespace

QtOpenPanel::QtOpenPanel(ApplicationPredicate isApplication) : isApplication_(std::move(isApplication)) {}

std::optional<std::string> QtOpenPanel::run(const OpenPanelConfiguration& configuration) {
  const QString title = configuration.title.empty() ? QStringLiteral("Choose an application to trace")
                                                    : QString::fromStdString(configuration.title);
  const QString prompt =
      configuration.prompt.empty() ? QStringLiteral("Choose App") : QString::fromStdString(configuration.prompt);
  const QString home = QDir::homePath();
  const QString start = lastDirectory_.isEmpty() ? home : lastDirectory_;

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
    }
    QList<QUrl> places{QUrl::fromLocalFile(home)};
    for (const QString& dir : {home + QStringLiteral("/.local/share/applications"),
                               QStringLiteral("/usr/share/applications"), QStringLiteral("/usr/local/bin"),
                               QStringLiteral("/usr/bin")}) {
      if (QFileInfo(dir).isDir()) places << QUrl::fromLocalFile(dir);
    }
    dialog.setSidebarUrls(places);

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
