// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kestrel::app {
namespace {

using namespace std::chrono_literals;

// Serves the dispatcher on this (the user-interface) thread until `done` or the limit.
template <typename Done>
bool Serve(UiDispatcher& dispatcher, Done done, std::chrono::milliseconds limit = 5s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    dispatcher.WaitForWork(10ms);
    dispatcher.ProcessPending();
  }
  return true;
}

struct Recorder {
  std::mutex mutex;
  std::vector<std::string> events;
  void Add(std::string event) {
    std::lock_guard guard(mutex);
    events.push_back(std::move(event));
  }
  std::vector<std::string> Get() {
    std::lock_guard guard(mutex);
    return events;
  }
};

TEST(WinThreadTest, SpawnWithoutProcStartsNothing) {
  UiDispatcher dispatcher;
  WinThread thread(dispatcher);
  EXPECT_EQ(thread.Spawn({}), kNoWorker);
  EXPECT_EQ(thread.WorkerCount(), 0);
}

TEST(WinThreadTest, TwoWorkersRunTogetherAndEachEndIsReportedOnTheUiThread) {
  UiDispatcher dispatcher;
  WinThread thread(dispatcher);
  Recorder recorder;
  std::atomic<int> inside{0};
  std::atomic<int> most_inside{0};
  const auto ui = std::this_thread::get_id();
  auto run = [&](int id) {
    EXPECT_NE(std::this_thread::get_id(), ui);
    int now = ++inside;
    int seen = most_inside;
    while (now > seen && !most_inside.compare_exchange_weak(seen, now)) {
    }
    // Both must be inside at once before either leaves.
    const auto end = std::chrono::steady_clock::now() + 2s;
    while (most_inside < 2 && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(1ms);
    --inside;
    recorder.Add("proc " + std::to_string(id));
  };
  auto ended = [&](int id) {
    EXPECT_EQ(std::this_thread::get_id(), ui);
    recorder.Add("end " + std::to_string(id));
  };
  for (int id : {7, 8}) {
    EXPECT_NE(thread.Spawn({[&run, id] { run(id); }, [&ended, id] { ended(id); }, nullptr}),
              kNoWorker);
  }
  ASSERT_TRUE(Serve(dispatcher, [&] { return recorder.Get().size() == 4; }));
  EXPECT_EQ(most_inside, 2);
  auto events = recorder.Get();
  // Each end follows its own worker.
  for (std::string p : {"7", "8"}) {
    auto proc = std::find(events.begin(), events.end(), "proc " + p);
    auto end = std::find(events.begin(), events.end(), "end " + p);
    ASSERT_NE(proc, events.end());
    ASSERT_NE(end, events.end());
    EXPECT_LT(proc, end);
  }
  ASSERT_TRUE(Serve(dispatcher, [&] { return thread.WorkerCount() == 0; }));
}

TEST(WinThreadTest, ErrorInProcIsReportedThenTheEnd) {
  UiDispatcher dispatcher;
  WinThread thread(dispatcher);
  Recorder recorder;
  thread.Spawn({[] { throw std::runtime_error("disk on fire"); }, [&] { recorder.Add("end 3"); },
                [&](const std::string& message) { recorder.Add("error 3 " + message); }});
  ASSERT_TRUE(Serve(dispatcher, [&] { return recorder.Get().size() == 2; }));
  EXPECT_EQ(recorder.Get(), (std::vector<std::string>{"error 3 disk on fire", "end 3"}));
}

TEST(WinThreadTest, KillAbandonsABlockedWorkerWithoutItsEnd) {
  UiDispatcher dispatcher;
  std::atomic<bool> release{false};
  std::atomic<int> ends{0};
  {
    WinThread thread(dispatcher);
    thread.Spawn({[&] {
                    while (!release) std::this_thread::sleep_for(5ms);
                  },
                  [&] { ++ends; }, nullptr});
    EXPECT_EQ(thread.WorkerCount(), 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(thread.Kill());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(thread.WorkerCount(), 0);
    EXPECT_TRUE(thread.HasAbandonedWorkers());
    // Destroying the component must not wait for the abandoned worker.
  }
  release = true;
  std::this_thread::sleep_for(50ms);
  dispatcher.ProcessPending();
  EXPECT_EQ(ends, 0);
}

TEST(WinThreadTest, KillLetsAWorkerThatEndsInTheGraceEndQuietly) {
  UiDispatcher dispatcher;
  WinThread thread(dispatcher);
  std::atomic<int> ends{0};
  thread.Spawn({[] { std::this_thread::sleep_for(100ms); }, [&] { ++ends; }, nullptr});
  EXPECT_TRUE(thread.Kill());
  EXPECT_FALSE(thread.HasAbandonedWorkers());
  EXPECT_EQ(ends, 0);
}

TEST(WinThreadTest, DestructionWaitsForARunningWorker) {
  UiDispatcher dispatcher;
  std::atomic<bool> finished{false};
  std::atomic<int> ends{0};
  {
    WinThread thread(dispatcher);
    thread.Spawn({[&] {
                    std::this_thread::sleep_for(150ms);
                    finished = true;
                  },
                  [&] { ++ends; }, nullptr});
  }
  EXPECT_TRUE(finished);
  EXPECT_EQ(ends, 0);  // no end reports once the component is going away
}

TEST(UiDispatcherTest, SendFromAWorkerRunsOnTheUiThreadAndCarriesErrors) {
  UiDispatcher dispatcher;
  const auto ui = std::this_thread::get_id();
  std::atomic<bool> done{false};
  std::string error;
  std::thread worker([&] {
    dispatcher.Send([&] { EXPECT_EQ(std::this_thread::get_id(), ui); });
    try {
      dispatcher.Send([] { throw std::runtime_error("bad"); });
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    done = true;
  });
  EXPECT_TRUE(Serve(dispatcher, [&] { return done.load(); }));
  worker.join();
  EXPECT_EQ(error, "bad");
}

// A wait for a lock that a writing worker holds serves writes alone: other
// work handed over meanwhile keeps its turn for the next full serving.
TEST(UiDispatcherTest, ProcessPendingWritesLeavesOtherWorkQueued) {
  UiDispatcher dispatcher;
  Recorder recorder;
  std::thread reporter([&] { dispatcher.Send([&] { recorder.Add("report"); }); });
  ASSERT_TRUE(dispatcher.WaitForWork(5s));
  std::thread writer([&] { dispatcher.SendWrite([&] { recorder.Add("write"); }); });
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (recorder.Get().empty() && std::chrono::steady_clock::now() < end) {
    dispatcher.ProcessPendingWrites();
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(recorder.Get(), std::vector<std::string>{"write"});
  EXPECT_EQ(dispatcher.ProcessPending(), 1);
  reporter.join();
  writer.join();
  EXPECT_EQ(recorder.Get(), (std::vector<std::string>{"write", "report"}));
}

}  // namespace
}  // namespace kestrel::app
