// SPDX-License-Identifier: Apache-2.0
#include "AgentOptions.h"
#include "Gui/T_QtMainThread.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "Gui/RunWindowed.h"
#include "Gui/T_Form1.h"
#include "TestSupport.h"

TEST(QtMainThread, ACallFromAnotherThreadRunsOnTheQtMainThread) {
  TQtMainThread mainThread;  // this test's thread is the Qt main thread
  const auto main = std::this_thread::get_id();
  std::thread::id ranOn;
  int handed = 0;
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    for (int i = 0; i < 5; ++i) {
      mainThread.RunSynchronously([&] {
        ranOn = std::this_thread::get_id();
        ++handed;
      });
    }
    finished = true;
    mainThread.Wake();
  });
  mainThread.ServeUntil([&] { return finished.load(); });
  worker.join();
  EXPECT_EQ(handed, 5);
  EXPECT_EQ(ranOn, main);
}

TEST(QtMainThread, OnTheMainThreadACallRunsAtOnceAndErrorsReachTheCaller) {
  TQtMainThread mainThread;
  int runs = 0;
  mainThread.RunSynchronously([&] { ++runs; });
  EXPECT_EQ(runs, 1);

  std::atomic<bool> threw{false};
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    try {
      mainThread.RunSynchronously([] { throw std::runtime_error("meter failed"); });
    } catch (const std::runtime_error&) {
      threw = true;
    }
    finished = true;
    mainThread.Wake();
  });
  mainThread.ServeUntil([&] { return finished.load(); });
  worker.join();
  EXPECT_TRUE(threw);
}

namespace {

class RunWindowedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Platform.System.DataFolder = Dir / "data";
    WriteTextFile(Dir / "kelvra.INI", SafeSettings());
  }

  // Runs the window over an agent core without a status thread.
  int RunCoreAgent(const TWindowedOptions& options) {
    TPlatform platform = Platform.Get();
    return RunWindowed(
        Argc, Argv,
        [&](IMainThread& mainThread) {
          return std::make_unique<TAgent>(platform, Dir / "kelvra.INI", mainThread, TestAgentOptions(false));
        },
        options);
  }

  TTempDir Dir;
  TTestPlatform Platform;
  int Argc = 1;
  char Name[8] = "gui";
  char* Argv[2] = {Name, nullptr};
};

class RunWindowedQuitTest : public RunWindowedTest, public ::testing::WithParamInterface<bool> {};

}  // namespace

TEST_F(RunWindowedTest, AnAgentThatCannotBeMadeShowsItsErrorAndAnswersOne) {
  std::string shown;
  TWindowedOptions options;
  options.ShowError = [&](const std::string& text) { shown = text; };
  int code = RunWindowed(
      Argc, Argv, [](IMainThread&) -> std::unique_ptr<TAgent> { throw std::runtime_error("port 4102 is taken"); },
      options);
  EXPECT_EQ(code, 1);
  EXPECT_EQ(shown, "port 4102 is taken");
}

TEST_F(RunWindowedTest, RunsARealAgentUntilAShutdownRequest) {
  // The status thread runs and may hand the meter over to the Qt loop; the
  // agent must still go down in order once the request comes.
  TPlatform platform = Platform.Get();
  TAgent* made = nullptr;
  int polls = 0;
  TWindowedOptions options;
  options.ShowWindow = true;
  options.ShutdownRequested = [&] { return ++polls >= 8; };
  int code = RunWindowed(
      Argc, Argv,
      [&](IMainThread& mainThread) {
        auto agent = std::make_unique<TAgent>(platform, Dir / "kelvra.INI", mainThread, TestAgentOptions());
        made = agent.get();
        return agent;
      },
      options);
  EXPECT_EQ(code, 0);
  EXPECT_NE(made, nullptr);
  EXPECT_EQ(polls, 8);
}

TEST_P(RunWindowedQuitTest, AnyEndOfTheEventLoopActsAsExit) {
  // As when the session manager ends the application without asking first,
  // with the window hidden and while it shows.
  TWindowedOptions options;
  options.TrayAvailable = true;
  options.ShowWindow = GetParam();
  options.ShutdownRequested = [] {
    QCoreApplication::quit();
    return false;
  };
  EXPECT_EQ(RunCoreAgent(options), 0);
}

INSTANTIATE_TEST_SUITE_P(WindowShown, RunWindowedQuitTest, ::testing::Bool());

TEST_F(RunWindowedTest, WithoutATrayTheWindowIsShownAtStart) {
  auto windowShownAtStart = [&](bool tray) {
    bool shown = false;
    TWindowedOptions options;
    options.TrayAvailable = tray;
    options.ShutdownRequested = [&shown] {
      for (QWidget* widget : QApplication::topLevelWidgets())
        if (dynamic_cast<TForm1*>(widget) != nullptr && widget->isVisible()) shown = true;
      return true;
    };
    EXPECT_EQ(RunCoreAgent(options), 0);
    return shown;
  };
  EXPECT_TRUE(windowShownAtStart(false));
  EXPECT_FALSE(windowShownAtStart(true)) << "with a tray only the icon shows";
}
