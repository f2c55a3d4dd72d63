// SPDX-License-Identifier: GPL-3.0-or-later
// The Qt services: the main-thread queue and its nested wait, the clipboard,
// and the application chooser.

#include <gtest/gtest.h>

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <fstream>
#include <sys/stat.h>
#include <thread>

#include "ui_harness.h"

namespace mf::uitest {
namespace {

TEST(QtMainQueue, RunsPostsFromManyThreadsOnTheMainThreadInPostingOrder) {
  application();
  ui::QtMainQueue queue;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::vector<std::vector<int>> seen(kThreads);
  std::atomic<int> offMainThread{0};
  int ran = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        queue.post([&, t, i] {
          if (QThread::currentThread() != QCoreApplication::instance()->thread()) ++offMainThread;
          seen[t].push_back(i);
          ++ran;
        });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(waitUntil([&] { return ran == kThreads * kPerThread; }));
  EXPECT_EQ(offMainThread.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<std::size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(seen[t][i], i) << "thread " << t;
  }

  // Posts from the main thread keep their order among themselves too.
  std::vector<int> order;
  for (int i = 0; i < 100; ++i) queue.post([&order, i] { order.push_back(i); });
  ASSERT_TRUE(waitUntil([&] { return order.size() == 100; }));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST(QtMainQueue, WaitRunsPostedWorkForItsWholeDuration) {
  application();
  ui::QtMainQueue queue;
  std::atomic<bool> waitBegan{false};
  std::atomic<bool> ranDuringWait{false};
  // A background post that lands while the main thread waits (as a first log
  // batch does): it is made only once the wait has run a task of its own.
  queue.post([&] { waitBegan = true; });
  std::thread poster([&] {
    while (!waitBegan) std::this_thread::yield();
    queue.post([&] { ranDuringWait = true; });
  });
  queue.wait(0.25);
  if (!waitBegan) waitBegan = true;  // the wait ran nothing: let the poster finish
  poster.join();
  EXPECT_TRUE(ranDuringWait.load());

  bool ranInZeroWait = false;
  queue.post([&] { ranInZeroWait = true; });
  queue.wait(0);
  EXPECT_TRUE(ranInZeroWait);
}

TEST(QtMainQueue, PostsLeftWhenTheQueueGoesAreDroppedNotRun) {
  application();
  bool ran = false;
  {
    ui::QtMainQueue queue;
    queue.post([&] { ran = true; });
  }
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
  EXPECT_FALSE(ran);
}

TEST(QtPasteboard, ReplacesTheClipboardWithThePlainText) {
  application();
  QGuiApplication::clipboard()->setText(QStringLiteral("earlier contents"), QClipboard::Clipboard);
  ui::QtPasteboard pasteboard;
  const std::string text = "[13:05:09] [ERROR] [CONSOLE]\nÉchec: ✗ \t[tab] stays";
  pasteboard.setString(text);
  EXPECT_EQ(QGuiApplication::clipboard()->text(QClipboard::Clipboard).toStdString(), text);
}

class ChooserFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    application();
    ASSERT_TRUE(dir.isValid());
    write("tool", "#!/bin/sh\necho hi\n", 0755);
    write("Viewer.desktop", "[Desktop Entry]\nType=Application\nName=Viewer\nExec=/bin/true\n", 0644);
    write("notes.txt", "not an application\n", 0644);
    QDir(dir.path()).mkdir(QStringLiteral("sub"));
  }
  void write(const char* name, const char* text, mode_t mode) {
    const std::string path = dir.filePath(QString::fromLatin1(name)).toStdString();
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
  }
  std::string path(const char* name) const { return dir.filePath(QString::fromLatin1(name)).toStdString(); }

  QTemporaryDir dir;
};

TEST_F(ChooserFolder, DefaultPredicateKnowsDesktopEntriesAndExecutables) {
  EXPECT_TRUE(ui::looksLikeApplication(path("tool")));
  EXPECT_TRUE(ui::looksLikeApplication(path("Viewer.desktop")));
  EXPECT_FALSE(ui::looksLikeApplication(path("notes.txt")));
  EXPECT_FALSE(ui::looksLikeApplication(path("sub")));
  EXPECT_FALSE(ui::looksLikeApplication(path("missing")));
}

QFileDialog* activeFileDialog() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* dialog = qobject_cast<QFileDialog*>(widget); dialog && dialog->isVisible()) return dialog;
  }
  return nullptr;
}

// As a user types a path into the dialog's name field.
void typeFileName(QFileDialog* dialog, const std::string& path) {
  auto* field = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  ASSERT_NE(field, nullptr);
  field->setText(QString::fromStdString(path));
}

TEST_F(ChooserFolder, OpenPanelShowsFoldersAndApplicationsOnlyAndReturnsTheChoice) {
  ui::QtOpenPanel panel;
  QStringList listed;
  QString title;
  QString accept;
  bool ok = false;
  // The panel is modal: look at it from a timer while its loop runs.
  std::function<void()> inspect = [&] {
    QFileDialog* dialog = activeFileDialog();
    if (dialog == nullptr) {
      QTimer::singleShot(20, QCoreApplication::instance(), inspect);
      return;
    }
    title = dialog->windowTitle();
    accept = dialog->labelText(QFileDialog::Accept);
    auto* source = dialog->findChild<QFileSystemModel*>();
    auto* proxy = dialog->proxyModel();
    dialog->setDirectory(dir.path());
    ok = waitUntil([&] { return source && source->rowCount(source->index(dir.path())) == 4; });
    if (ok && proxy) {
      const QModelIndex parent = proxy->mapFromSource(source->index(dir.path()));
      for (int r = 0; r < proxy->rowCount(parent); ++r) listed << proxy->index(r, 0, parent).data().toString();
    }
    typeFileName(dialog, path("tool"));
    static_cast<QDialog*>(dialog)->accept();
  };
  QTimer::singleShot(0, QCoreApplication::instance(), inspect);
  const auto chosen = panel.run(OpenPanelConfiguration{"Choose an application to trace", "Choose App"});
  ASSERT_TRUE(ok);
  EXPECT_EQ(title, "Choose an application to trace");
  EXPECT_EQ(accept, "Choose App");
  listed.sort();
  EXPECT_EQ(listed, QStringList({"Viewer.desktop", "sub", "tool"}));
  ASSERT_TRUE(chosen);
  EXPECT_EQ(*chosen, path("tool"));
}

TEST_F(ChooserFolder, OpenPanelRefusesATypedNonApplicationAndCancelGivesNothing) {
  ui::QtOpenPanel panel;
  int dialogsSeen = 0;
  bool warned = false;
  std::function<void()> drive = [&] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
        warned = box->text().contains(QStringLiteral("notes.txt"));
        box->accept();
        QTimer::singleShot(20, QCoreApplication::instance(), drive);
        return;
      }
    }
    QFileDialog* dialog = activeFileDialog();
    if (dialog == nullptr) {
      QTimer::singleShot(20, QCoreApplication::instance(), drive);
      return;
    }
    ++dialogsSeen;
    if (dialogsSeen == 1) {
      typeFileName(dialog, path("notes.txt"));
      static_cast<QDialog*>(dialog)->accept();
      QTimer::singleShot(20, QCoreApplication::instance(), drive);
    } else {
      dialog->reject();
    }
  };
  QTimer::singleShot(0, QCoreApplication::instance(), drive);
  const auto chosen = panel.run(OpenPanelConfiguration{"Choose an application to trace", "Choose App"});
  EXPECT_TRUE(warned);
  EXPECT_EQ(dialogsSeen, 2) << "the chooser opens again after the refusal";
  EXPECT_FALSE(chosen);
}

}  // namespace
}  // namespace mf::uitest
