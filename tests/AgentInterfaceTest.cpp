// SPDX-License-Identifier: Apache-2.0
// The agent interface as a task library sees it: every slot called through
// the table, against a fake session; built from a context alone.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>

#include "Agent/I_Session.h"
#include "Common/T_GenericStreamRO.h"
#include "Common/T_SlotError.h"
#include "SessionFixture.h"
#include "StatusAssertions.h"
#include "TestSupport.h"

namespace {

class TFakeSession : public ISession {
 public:
  std::string Block = "cached";
  std::atomic<bool> Ending{false};
  bool Fail = false;
  std::vector<std::optional<std::string>> Freed;

  TStatus GetData(const std::string& identifier, IGenericStream*& view) override {
    if (Fail) return TStatus::Failure("", "Assertion failure (Common/kelvracommon, line 519)");
    if (identifier != "known") return {};
    view = TGenericStreamRO::Create(Block.data(), static_cast<int32_t>(Block.size()));
    view->SetPos(3);  // the slot hands it out at position 0 whatever
    return {};
  }
  void FreeData(const std::optional<std::string>& identifier) override { Freed.push_back(identifier); }
  std::string SessionFolder() const override { return "/data/kelvra/TEMP/10.0.0.7/00007F0000001234/"; }
  bool SessionEnding() const override { return Ending; }
};

struct AgentInterfaceTest : ::testing::Test {
  TTempDir Dir;
  TTestPlatform Platform;
  TFakeSession Session;
  TAgentParts Parts{Platform, Dir, TestSettings(0)};
  IAgent* Interface = Parts.Interface.Interface();
  void* Identity = nullptr;

  void SetUp() override {
    Identity = Session.SessionIdentity();
    TSlotError::Clear();
  }
};

}  // namespace

TEST_F(AgentInterfaceTest, FixedAnswers) {
  void* untouched = &Session;
  const unsigned char unknown[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  EXPECT_EQ(Interface->lpVtbl->QueryInterface(Interface, unknown, &untouched), static_cast<int32_t>(0x80004002));
  EXPECT_EQ(untouched, &Session);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Interface->lpVtbl->AddRef(Interface), 1u);
    EXPECT_EQ(Interface->lpVtbl->Release(Interface), 1u);
  }
  uint32_t version = 0;
  EXPECT_EQ(Interface->lpVtbl->GetVersion(Interface, &version), 0);
  EXPECT_EQ(version, 0x00010001u);
  void* lock = nullptr;
  EXPECT_EQ(Interface->lpVtbl->GetGlobalLock(Interface, &lock), 0);
  EXPECT_EQ(lock, Parts.Interface.GlobalLockAddress());
  char folder[KELVRA_SESSION_FOLDER_MAX];
  EXPECT_EQ(Interface->lpVtbl->GetSessionFolder(Interface, Identity, folder), 0);
  EXPECT_STREQ(folder, "/data/kelvra/TEMP/10.0.0.7/00007F0000001234/");
}

TEST_F(AgentInterfaceTest, GetDataAndFreeData) {
  IGenericStream* stream = reinterpret_cast<IGenericStream*>(0x1);
  EXPECT_EQ(Interface->lpVtbl->GetData(Interface, Identity, "unknown", &stream), 1);
  EXPECT_EQ(stream, nullptr) << "a miss leaves the slot empty";
  ASSERT_EQ(Interface->lpVtbl->GetData(Interface, Identity, "known", &stream), 0);
  EXPECT_EQ(stream->GetPos(), 0);
  EXPECT_EQ(stream->GetSize(), 6);
  EXPECT_EQ(stream->Release(), 0);
  EXPECT_EQ(Interface->lpVtbl->FreeData(Interface, Identity, "known"), 0);
  EXPECT_EQ(Interface->lpVtbl->FreeData(Interface, Identity, nullptr), 0);
  EXPECT_EQ(Session.Freed, (std::vector<std::optional<std::string>>{"known", std::nullopt}));
  EXPECT_OK(TSlotError::Take());
}

TEST_F(AgentInterfaceTest, AnErrorInsideASlotIsRememberedForTheTask) {
  Session.Fail = true;
  IGenericStream* stream = nullptr;
  EXPECT_EQ(Interface->lpVtbl->GetData(Interface, Identity, "known", &stream), 1);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(TSlotError::Take().Text(), "Assertion failure (Common/kelvracommon, line 519)");
}

// An identity is handed out once in the process: a session made where an
// ended one lived gets a new one, and the ended one's reaches no session.
TEST_F(AgentInterfaceTest, AnIdentityOfNoLiveSessionFailsTheSlot) {
  auto earlier = std::make_unique<TFakeSession>();
  void* ended = earlier->SessionIdentity();
  earlier.reset();
  auto later = std::make_unique<TFakeSession>();
  ASSERT_NE(later->SessionIdentity(), ended);
  ASSERT_NE(Identity, ended);
  IGenericStream* stream = nullptr;
  EXPECT_EQ(Interface->lpVtbl->GetData(Interface, ended, "known", &stream), 1);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(TSlotError::Take().Text(), "Unknown session identity");
  char folder[KELVRA_SESSION_FOLDER_MAX] = "untouched";
  EXPECT_EQ(Interface->lpVtbl->GetSessionFolder(Interface, nullptr, folder), 0);
  EXPECT_STREQ(folder, "untouched");
  EXPECT_EQ(TSlotError::Take().Text(), "Unknown session identity");
  EXPECT_EQ(Interface->lpVtbl->FreeData(Interface, ended, nullptr), 0);
  EXPECT_EQ(TSlotError::Take().Text(), "Unknown session identity");
  EXPECT_EQ(Interface->lpVtbl->ShouldAbort(Interface, ended), 0);
  EXPECT_EQ(TSlotError::Take().Text(), "Unknown session identity");
  EXPECT_TRUE(Session.Freed.empty());
}

TEST_F(AgentInterfaceTest, ShouldAbortWaitsOutASuspensionUnlessTheSessionEnds) {
  EXPECT_EQ(Interface->lpVtbl->ShouldAbort(Interface, Identity), 0);
  EXPECT_TRUE(Platform.Debug.Taken().empty()) << "not suspended: no waiting, no log";

  Parts.Suspension.SetSuspendSeconds(30);
  auto waiting = std::async(std::launch::async, [&] { return Interface->lpVtbl->ShouldAbort(Interface, Identity); });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(1500)), std::future_status::timeout);
  Parts.Suspension.SetSuspendSeconds(0);
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), 0);
  EXPECT_GE(Platform.Debug.Taken().size(), 1u);
  EXPECT_EQ(Platform.Debug.Taken()[0], "Suspended...\r");

  Parts.Suspension.SetSuspendSeconds(30);
  waiting = std::async(std::launch::async, [&] { return Interface->lpVtbl->ShouldAbort(Interface, Identity); });
  Session.Ending = true;
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), 1);
}

TEST_F(AgentInterfaceTest, ShouldAbortStopsWaitingWhenTheAgentCloses) {
  Parts.Suspension.SetSuspendSeconds(30);
  auto waiting = std::async(std::launch::async, [&] { return Interface->lpVtbl->ShouldAbort(Interface, Identity); });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(1500)), std::future_status::timeout);
  Parts.Closing.Set();
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), 0) << "the session itself goes on until it is ended";
}

TEST_F(AgentInterfaceTest, GlobalLockIsRecursive) {
  auto* lock = static_cast<pthread_mutex_t*>(Parts.Interface.GlobalLockAddress());
  ASSERT_EQ(pthread_mutex_lock(lock), 0);
  EXPECT_EQ(pthread_mutex_lock(lock), 0);
  EXPECT_EQ(pthread_mutex_unlock(lock), 0);
  EXPECT_EQ(pthread_mutex_unlock(lock), 0);
}
