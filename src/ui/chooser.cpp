// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/chooser.h"

#include <QAbstractItemView>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGuiApplication>
#include <QHash>
#include <QHeaderView>
#include <QMessageBox>
#include <QScreen>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QTreeView>
#include <QUrl>
#include <algorithm>
#include <memory>

#include "ui/widgets.h"

namespace mf::ui {

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
  ApplicationFilter(ApplicationPredicate isApplication, EntryNameReader entryName, QObject* parent)
      : QSortFilterProxyModel(parent), isApplication_(std::move(isApplication)), entryName_(std::move(entryName)) {}

  QVariant data(const QModelIndex& index, int role) const override {
    if (index.column() == kDisplayNameColumn && (role == Qt::DisplayRole || role == Qt::ToolTipRole)) {
      auto* model = qobject_cast<QFileSystemModel*>(sourceModel());
      const QModelIndex source = mapToSource(index);
      if (model != nullptr && !model->isDir(source)) {
        const QString path = model->filePath(source);
        auto cached = names_.constFind(path);
        if (cached == names_.constEnd()) cached = names_.insert(path, showBidiControls(nameOf(path)));
        if (!cached->isEmpty()) return *cached;
        return QStringLiteral("Program");
      }
    }
    // File names are outside text too.
    if (index.column() == 0 && (role == Qt::DisplayRole || role == Qt::ToolTipRole)) {
      const QVariant name = QSortFilterProxyModel::data(index, role);
      return name.typeId() == QMetaType::QString ? QVariant(showBidiControls(name.toString())) : name;
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
  QString nameOf(const QString& path) const {
    if (!entryName_ || !path.endsWith(QLatin1String(".desktop"))) return {};
    return QString::fromStdString(entryName_(path.toStdString()));
  }

  ApplicationPredicate isApplication_;
  EntryNameReader entryName_;
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

QtOpenPanel::QtOpenPanel(ApplicationPredicate isApplication, EntryNameReader entryName)
    : isApplication_(std::move(isApplication)), entryName_(std::move(entryName)) {}

void QtOpenPanel::rememberChoice(const std::string& path) {
  const QString folder = QFileInfo(QString::fromStdString(path)).absolutePath();
  if (QFileInfo(folder).isDir()) lastDirectory_ = folder;
}

std::optional<std::string> QtOpenPanel::run(const OpenPanelConfiguration& configuration) {
  const QString title = configuration.title.empty() ? QStringLiteral("Choose an application to trace")
                                                    : QString::fromStdString(configuration.title);
  const QString prompt =
      configuration.prompt.empty() ? QStringLiteral("Choose App") : QString::fromStdString(configuration.prompt);
  const QString start =
      lastDirectory_.isEmpty() || !QFileInfo(lastDirectory_).isDir() ? chooserStartFolder() : lastDirectory_;
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
      dialog.setProxyModel(new ApplicationFilter(isApplication_, entryName_, &dialog));
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

}  // namespace mf::ui
