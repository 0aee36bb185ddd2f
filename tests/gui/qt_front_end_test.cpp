// SPDX-License-Identifier: GPL-2.0-or-later
#include "gui/qt_front_end.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <atomic>
#include <chrono>
#include <thread>

#include "core/log.h"
#include "gui/main_window.h"
#include "pump_until.h"
#include "support/temp_dir.h"

namespace kestrel::gui {
namespace {

using namespace std::chrono_literals;

QStringList PaneLines(const TKestrel& window, const char* name) {
  return window.findChild<QPlainTextEdit*>(name)->toPlainText().split('\n');
}

TEST(QtFrontEndTest, WorkerWritesLandOnTheWidgetsInOrder) {
  TKestrel window;
  core::FrontEnd& front_end = window.front_end();
  EXPECT_TRUE(front_end.OnUserInterfaceThread());
  std::atomic<bool> finished{false};
  std::atomic<bool> worker_on_ui{true};
  std::thread worker([&] {
    worker_on_ui = front_end.OnUserInterfaceThread();
    front_end.AppendPaneLine(core::Side::Sending, "-- one");
    front_end.AppendPaneLine(core::Side::Sending, "-- two");
    front_end.AppendPaneLine(core::Side::Receiving, "<- +OK");
    front_end.SetField(core::Field::TotalFiles, "12");
    front_end.SetField(core::Field::GetFilename, "\xE4.PKT");  // not UTF-8: Latin-1
    front_end.SetWaitingIndicator(core::Side::Receiving, true);
    finished = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return finished.load(); }));
  worker.join();
  EXPECT_FALSE(worker_on_ui);
  EXPECT_EQ(PaneLines(window, "SendActivity"), (QStringList{"-- one", "-- two"}));
  EXPECT_EQ(PaneLines(window, "GetActivity"), (QStringList{"<- +OK"}));
  EXPECT_EQ(window.findChild<QLineEdit*>("TotalFiles")->text(), "12");
  EXPECT_EQ(window.findChild<QLineEdit*>("GetFilename")->text(), QString::fromUtf8("\u00E4.PKT"));
  EXPECT_TRUE(window.findChild<QRadioButton*>("GetWaitingNetwork")->isChecked());
  EXPECT_FALSE(window.findChild<QRadioButton*>("WaitingNetwork")->isChecked());

  front_end.ClearPane(core::Side::Sending);
  EXPECT_EQ(window.findChild<QPlainTextEdit*>("SendActivity")->toPlainText(), "");
}

TEST(QtFrontEndTest, WorkerWaitsUntilTheWriteIsDone) {
  TKestrel window;
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    window.front_end().AppendPaneLine(core::Side::Sending, "-- waiting");
    returned = true;
  });
  // Without the event loop the write cannot happen, so the worker stays.
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(returned);
  ASSERT_TRUE(PumpUntil([&] { return returned.load(); }));
  worker.join();
  EXPECT_EQ(PaneLines(window, "SendActivity"), QStringList{"-- waiting"});
}

// The user-interface thread waits for the log lock while a worker holds it and
// waits for the user-interface thread to show its line: both must go on.
TEST(QtFrontEndTest, LogLockSharedWithTheUserInterfaceThreadDoesNotDeadlock) {
  testing::TempDir home;
  TKestrel window;
  core::Logger logger(window.front_end(), home.path());
  constexpr int kLinesPerThread = 300;
  std::atomic<int> workers_done{0};
  std::vector<std::thread> workers;
  for (const core::Side side : {core::Side::Sending, core::Side::Receiving}) {
    workers.emplace_back([&, side] {
      for (int i = 0; i < kLinesPerThread; ++i) logger.LogLine(side, "-> worker line");
      ++workers_done;
    });
  }
  // The user-interface thread logs meanwhile, without turning its event loop.
  for (int i = 0; i < kLinesPerThread; ++i) logger.LogLine(core::Side::Sending, "-- ui line");
  ASSERT_TRUE(PumpUntil([&] { return workers_done.load() == 2; }));
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(PaneLines(window, "SendActivity").size(), 2 * kLinesPerThread);
  EXPECT_EQ(PaneLines(window, "GetActivity").size(), kLinesPerThread);
}

TEST(QtFrontEndTest, DetachReleasesWaitingWorkersAndDropsLaterWrites) {
  auto window = std::make_unique<TKestrel>();
  QtFrontEnd* front_end = static_cast<QtFrontEnd*>(&window->front_end());
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    front_end->AppendPaneLine(core::Side::Sending, "-- never shown");
    front_end->AppendPaneLine(core::Side::Sending, "-- dropped");
    returned = true;
  });
  std::this_thread::sleep_for(50ms);
  front_end->Detach();
  worker.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(window->findChild<QPlainTextEdit*>("SendActivity")->toPlainText(), "");
}

}  // namespace
}  // namespace kestrel::gui
