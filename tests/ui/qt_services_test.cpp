// SPDX-License-Identifier: GPL-3.0-or-later
// The Qt services: the main-thread queue and its nested wait, and the
// application chooser. The clipboard is the window tests' (the harness uses
// the real one).

#include <gtest/gtest.h>

#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <fstream>
#include <numeric>
#include <sys/stat.h>
#include <thread>

#include "ui/chooser.h"
#include "ui_harness.h"

namespace mf::uitest {
namespace {

TEST(QtMainQueue, RunsPostsInOrderOnTheMainThreadAlsoDuringAWaitAndNoneAfterItGoes) {
  application();
  constexpr int kPosters = 5;  // four threads and the main thread
  constexpr int kPerPoster = 2000;
  std::vector<std::vector<int>> seen(kPosters);
  std::atomic<int> offMainThread{0};
  int ran = 0;
  {
    ui::QtMainQueue queue;
    const auto post = [&](int poster) {
      for (int i = 0; i < kPerPoster; ++i) {
        queue.post([&, poster, i] {
          if (QThread::currentThread() != QCoreApplication::instance()->thread()) ++offMainThread;
          seen[poster].push_back(i);
          ++ran;
        });
      }
    };
    std::vector<std::thread> threads;
    for (int poster = 1; poster < kPosters; ++poster) threads.emplace_back(post, poster);
    post(0);
    for (auto& thread : threads) thread.join();
    ASSERT_TRUE(waitUntil([&] { return ran == kPosters * kPerPoster; }));
    EXPECT_EQ(offMainThread.load(), 0);
    std::vector<int> inOrder(kPerPoster);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    for (const auto& posts : seen) EXPECT_TRUE(posts == inOrder) << "each poster's tasks run in posting order";

    // A background post that lands while the main thread waits (as a first
    // log batch does) runs in that wait; it is made only once the wait has
    // run a task of its own.
    std::atomic<bool> waitBegan{false};
    std::atomic<bool> ranDuringWait{false};
    queue.post([&] { waitBegan = true; });
    std::thread poster([&] {
      while (!waitBegan) std::this_thread::yield();
      queue.post([&] { ranDuringWait = true; });
    });
    queue.wait(0.25);
    waitBegan = true;  // should the wait have run nothing, the poster still finishes
    poster.join();
    EXPECT_TRUE(ranDuringWait.load());
    queue.post([&] { ++ran; });
    queue.wait(0);
    EXPECT_EQ(ran, kPosters * kPerPoster + 1) << "a zero wait runs what is posted";
    queue.post([&] { ++ran; });
  }
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
  EXPECT_EQ(ran, kPosters * kPerPoster + 1) << "posts left when the queue goes are dropped";
}

TEST(QtOpenPanel, RefusesATypedNonApplicationAndReturnsTheChoice) {
  application();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const auto path = [&](const char* name) { return dir.filePath(QString::fromLatin1(name)).toStdString(); };
  const auto write = [&](const char* name, const char* text, mode_t mode) {
    std::ofstream(path(name)) << text;
    ::chmod(path(name).c_str(), mode);
  };
  write("tool", "#!/bin/sh\necho hi\n", 0755);
  write("notes.txt", "not an application\n", 0644);

  // The panel is modal: it is driven from a timer while its loop runs. The
  // first time a non-application is typed; the warning names it and the
  // panel opens again, where the application is typed. What it lists and
  // shows: the real window's chooser in tests/gui.
  ui::QtOpenPanel panel;
  QString warning;
  int dialogsSeen = 0;
  std::function<void()> drive = [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      warning = box->text();
      box->accept();
      QTimer::singleShot(20, QCoreApplication::instance(), drive);
      return;
    }
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) {
      QTimer::singleShot(20, QCoreApplication::instance(), drive);
      return;
    }
    if (++dialogsSeen == 1) QTimer::singleShot(20, QCoreApplication::instance(), drive);
    dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
        ->setText(QString::fromStdString(path(dialogsSeen == 1 ? "notes.txt" : "tool")));
    static_cast<QDialog*>(dialog)->accept();
  };
  QTimer::singleShot(0, QCoreApplication::instance(), drive);
  const auto chosen = panel.run(OpenPanelConfiguration{"Choose an application to trace", "Choose App"});
  EXPECT_TRUE(warning.contains(QStringLiteral("notes.txt"))) << warning.toStdString();
  EXPECT_EQ(dialogsSeen, 2);
  EXPECT_EQ(chosen, std::optional<std::string>(path("tool")));
}

}  // namespace
}  // namespace mf::uitest
