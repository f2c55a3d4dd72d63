// SPDX-License-Identifier: GPL-3.0-or-later
// The window's event list at a million events: painting the rows in view,
// taking in a batch of 1,000 appended rows, and switching the raw log, each
// including the list's own bookkeeping (row heights, prefix sums, model).
// Targets: paint <= 8 ms, append 1,000 <= 16 ms, raw-log toggle <= 100 ms.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <memory>

#include "corpus.h"
#include "support/fakes.h"
#include "ui/event_pane.h"
#include "ui/main_window.h"

namespace {

struct World {
  mf::testing::FakeServices fakes;
  std::unique_ptr<mf::ContentView> content;
  std::unique_ptr<mf::ui::MainWindow> window;
  mf::bench::CorpusGenerator corpus{42};

  World() {
    content = std::make_unique<mf::ContentView>(fakes.services());
    window = std::make_unique<mf::ui::MainWindow>(*content);
    window->resize(1440, 900);
    window->show();
    QCoreApplication::processEvents();
    fakes.openPanel.answers.push_back(std::string("/opt/bench/Bench.desktop"));
    content->chooseApplication();
    content->startTrace();
    fakes.workspace.completeWithPid(777);
    fakes.mainQueue.runAll();
    content->setShowRawLog(true);
    append(1'000'000);
    QCoreApplication::processEvents();
  }
  void append(std::size_t count) {
    constexpr std::size_t kBatch = 4096;
    while (count > 0) {
      const std::size_t n = std::min(count, kBatch);
      mf::LineBatch batch;
      for (const auto& line : corpus.lines(n)) batch.add(line);
      fakes.logStreams.lastSink()(std::move(batch));
      fakes.mainQueue.runAll();
      count -= n;
    }
  }
  mf::ui::EventListView& list() { return *window->eventPane()->listView(); }
};

World& world() {
  static int argc = 1;
  static char name[] = "marrowfield-ui-bench";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    auto* created = new QApplication(argc, argv);
    mf::ui::applyDarkAppearance();
    return created;
  }();
  (void)app;
  static World instance;
  return instance;
}

void BM_EventListPaintAtAMillion(benchmark::State& state) {
  World& w = world();
  auto& list = w.list();
  QImage target(list.viewport()->size(), QImage::Format_ARGB32_Premultiplied);
  int step = 0;
  for (auto _ : state) {
    // A different stretch of the list each time, so no text layout is reused.
    list.verticalScrollBar()->setValue((step++ * 7919 * 40) % std::max(1, list.verticalScrollBar()->maximum()));
    QPainter painter(&target);
    list.viewport()->render(&painter);
  }
  state.counters["rows"] = list.rowCount();
}
BENCHMARK(BM_EventListPaintAtAMillion)->Unit(benchmark::kMillisecond);

void BM_EventListAppendThousandAtAMillion(benchmark::State& state) {
  World& w = world();
  std::vector<std::string> lines = w.corpus.lines(1000);
  mf::LineBatch batch;
  for (const auto& line : lines) batch.add(line);
  for (auto _ : state) {
    w.fakes.logStreams.lastSink()(batch);
    w.fakes.mainQueue.runAll();
    QCoreApplication::processEvents();  // includes the repaint the append asks for
  }
  state.counters["rows"] = w.list().rowCount();
}
BENCHMARK(BM_EventListAppendThousandAtAMillion)->Unit(benchmark::kMillisecond);

void BM_RawLogToggleAtAMillion(benchmark::State& state) {
  World& w = world();
  bool raw = w.content->showRawLog();
  for (auto _ : state) {
    raw = !raw;
    w.content->setShowRawLog(raw);
    QCoreApplication::processEvents();
  }
  w.content->setShowRawLog(true);
  state.counters["events"] = static_cast<double>(w.content->events().size());
}
BENCHMARK(BM_RawLogToggleAtAMillion)->Unit(benchmark::kMillisecond);

}  // namespace
