// SPDX-License-Identifier: Apache-2.0
// The task-fault guard replaces the process's fault handlers, so these tests
// are an executable of their own.
#include "Platform/T_TaskGuard.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cfenv>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <regex>
#include <stdexcept>
#include <thread>

#include "Common/T_GenericStream.h"
#include "Platform/CodeLocation.h"
#include "Platform/TaskFloatingPoint.h"
#include "StatusAssertions.h"
#include "TaskGuardTasks.h"

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace {

constexpr const char* kNullWrite = "Access violation (SIGSEGV) at address 0x0000000000000000";
constexpr const char* kAborted = "Aborted (SIGABRT)";

// The failure text of a guarded task call ("returned" when it returned),
// with the place of a fault (" in module+0x... (function+0x...)") as is.
std::string OutcomeWithPlace(TTaskGuard::TTaskProcedure task, void* session = nullptr) {
  uint32_t result = 0xDEAD;
  const TStatus failure = TTaskGuard::CallTask(task, nullptr, session, nullptr, nullptr, result);
  if (failure.Ok()) return "returned";
  EXPECT_EQ(result, 0xDEADu) << "a failed call leaves the result alone";
  return failure.Text();
}

// The same without the place of a fault.
std::string Outcome(TTaskGuard::TTaskProcedure task, void* session = nullptr) {
  std::string text = OutcomeWithPlace(task, session);
  if (TTaskGuard::LastFault().has_value()) {
    size_t place = text.rfind(" in ");
    EXPECT_NE(place, std::string::npos) << text;
    if (place != std::string::npos) text.resize(place);
  }
  return text;
}

bool Matches(const std::string& text, const std::string& pattern) {
  return std::regex_search(text, std::regex(pattern));
}

// The pattern of a fault's text naming its place in this executable.
std::string InThisExecutable(const std::string& text, const std::string& function) {
  return "^" + text + " in guard_tests\\+0x[0-9a-f]+ \\(" + function + "\\+0x[0-9a-f]+\\)$";
}

uint32_t ThrowingTask(IAgent*, void* session, IGenericStream*, IGenericStream*) {
  if (session != nullptr) throw 5;
  throw std::runtime_error("no input for the task");
}

// The agent's side of a call from task code, as a slot would be.
uint32_t SlotWithNestedCall() {
  EXPECT_TRUE(TTaskGuard::Armed());
  TTaskGuard::TDisarm disarm;
  EXPECT_FALSE(TTaskGuard::Armed());
  EXPECT_EQ(Outcome(NullWriteTask), kNullWrite);
  EXPECT_FALSE(TTaskGuard::Armed()) << "the nested call leaves the slot disarmed";
  return 7;
}

uint32_t SlotThatFaults() {
  TTaskGuard::TDisarm disarm;
  WriteToNull();
  return 1;
}

uint32_t SlotThatAborts() {
  TTaskGuard::TDisarm disarm;
  std::abort();
}

uint32_t TerminatingTask(IAgent*, void*, IGenericStream*, IGenericStream*) { std::terminate(); }

// Task code that gets a SIGABRT as another process's kill() delivers it
// (SI_USER from process 1), while it waits (at most about 20 s); answers 1
// if it is not ended. A process may queue any signal information to
// itself, so no second process is needed (a fork from a threaded process
// can hang under ThreadSanitizer).
uint32_t AbortedFromOutsideTask(IAgent*, void*, IGenericStream*, IGenericStream*) {
  siginfo_t info {};
  info.si_signo = SIGABRT;
  info.si_code = SI_USER;
  info.si_pid = 1;
  info.si_uid = ::getuid();
  ::syscall(SYS_rt_sigqueueinfo, ::getpid(), SIGABRT, &info);
  for (int i = 0; i < 2000; ++i) ::usleep(10000);
  return 1;
}

// The task state is in force on the calling thread.
void ExpectTaskFloatingPoint() {
  EXPECT_EQ(std::fegetround(), FE_TONEAREST);
#if defined(__x86_64__)
  // Bits 6 and 7 are reserved: the processor reads 0x13BF back as 0x137F.
  // The infinity-control bit (0x1000) tells it from the state a signal
  // handler starts with (0x037F).
  uint16_t control = 0;
  asm volatile("fnstcw %0" : "=m"(control));
  EXPECT_EQ(control & 0x1F3F, kTaskX87ControlWord & 0x1F3F);
  EXPECT_EQ(_mm_getcsr() & ~0x3Fu, kTaskMxcsr);
#endif
}

}  // namespace

TEST(TaskGuard, AReturningCallPassesItsResultThrough) {
  uint32_t result = 0;
  EXPECT_OK(TTaskGuard::CallTask(ReturnSessionTask, nullptr, reinterpret_cast<void*>(uintptr_t{0x1234}), nullptr,
                                 nullptr, result));
  EXPECT_EQ(result, 0x1234u);
  EXPECT_FALSE(TTaskGuard::Armed());
}

TEST(TaskGuard, FaultsInARowOnOneThreadAreEachCaughtAndNamed) {
  EXPECT_EQ(Outcome(NullWriteTask), kNullWrite);
  EXPECT_EQ(Outcome(IntegerDivisionTask), "Integer division by zero (SIGFPE)");
  EXPECT_EQ(Outcome(NullWriteTask), kNullWrite);
  EXPECT_EQ(TTaskGuard::CallEndSession(NullWriteEndSession, nullptr, nullptr).Text().rfind(kNullWrite, 0), 0u);
  EXPECT_FALSE(TTaskGuard::Armed());
  EXPECT_EQ(Outcome(ReturnSessionTask, reinterpret_cast<void*>(uintptr_t{1})), "returned");
}

// The text names the module and the function of the faulting instruction
// (found in the file's symbol table: the executable exports neither), and
// the record holds the registers and the frames of the task's stack.
TEST(TaskGuard, AFaultNamesItsPlaceAndKeepsItsStack) {
  EXPECT_PRED2(Matches, OutcomeWithPlace(NullWriteTask), (InThisExecutable("Access violation \\(SIGSEGV\\) at address 0x0{16}", "WriteToNull")));
  auto fault = TTaskGuard::LastFault();
  ASSERT_TRUE(fault.has_value());
  EXPECT_EQ(fault->Signal, SIGSEGV);
  EXPECT_EQ(fault->Address, 0u);
  ASSERT_EQ(fault->Frames.size(), 2u) << "the task's frames, none of the guard's";
  EXPECT_EQ(LocateCode(fault->Frames[0]).Function, "WriteToNull");
  EXPECT_EQ(LocateCode(fault->Frames[1], fault->Frames[1] - 1).Function, "NullWriteTask");
  bool ripFound = false;
  for (const auto& [name, value] : fault->Registers)
    if (std::string(name) == "rip") ripFound = value == fault->Frames[0];
  EXPECT_TRUE(ripFound);

  EXPECT_PRED2(Matches, OutcomeWithPlace(IntegerDivisionTask), (InThisExecutable("Integer division by zero \\(SIGFPE\\)", "DivideByZero")));
  // An abort is named where task code called abort(), not in the C library.
  EXPECT_PRED2(Matches, OutcomeWithPlace(AbortTask), (InThisExecutable("Aborted \\(SIGABRT\\)", "AbortTask")));
  ASSERT_TRUE(TTaskGuard::LastFault().has_value());
  EXPECT_EQ(TTaskGuard::LastFault()->Signal, SIGABRT);

  EXPECT_EQ(OutcomeWithPlace(ThrowingTask), "no input for the task");
  EXPECT_FALSE(TTaskGuard::LastFault().has_value()) << "an exception leaves no fault record";
}

// A stack the walk cannot read gives a short backtrace, not a second,
// fatal fault; the thread goes on, many times over.
TEST(TaskGuard, AFaultOnACorruptStackStillFailsTheCallWithItsPlace) {
  std::thread([] {
    for (int round = 0; round < 20; ++round) {
      EXPECT_PRED2(Matches, OutcomeWithPlace(SmashedFrameTask), ("^Access violation \\(SIGSEGV\\) at address 0x0{16} in guard_tests\\+0x"));
      auto smashed = TTaskGuard::LastFault();
      ASSERT_TRUE(smashed.has_value());
      EXPECT_GE(smashed->Frames.size(), 1u);
      EXPECT_LE(smashed->Frames.size(), static_cast<size_t>(TTaskGuard::kMaxFrames));
      EXPECT_PRED2(Matches, OutcomeWithPlace(WildStackPointerTask), (InThisExecutable("Access violation \\(SIGSEGV\\) at address 0x0{16}",
                                                          "WildStackPointerTask")));
      auto wild = TTaskGuard::LastFault();
      ASSERT_TRUE(wild.has_value());
      EXPECT_EQ(wild->Frames.size(), 1u) << "only the faulting instruction";
    }
    EXPECT_EQ(Outcome(NullWriteTask), kNullWrite);
    EXPECT_EQ(Outcome(ReturnSessionTask, reinterpret_cast<void*>(uintptr_t{1})), "returned");
  }).join();
}

// A stack in memory that is mapped but cannot be read: the walk must not
// fault there (libunwind checks its reads; a fault of the walk would only
// end it), and the call fails with the faulting instruction alone.
TEST(TaskGuard, AFaultOnAnUnreadableStackStillFailsTheCallWithItsPlace) {
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  void* inaccessible = ::mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(inaccessible, MAP_FAILED);
  std::thread([&] {
    for (int round = 0; round < 20; ++round) {
      EXPECT_PRED2(Matches, OutcomeWithPlace(InaccessibleStackTask, inaccessible),
                   InThisExecutable("Access violation \\(SIGSEGV\\) at address 0x0{16}", "InaccessibleStackTask"));
      auto fault = TTaskGuard::LastFault();
      ASSERT_TRUE(fault.has_value());
      EXPECT_EQ(fault->Frames.size(), 1u) << "only the faulting instruction";
    }
    EXPECT_EQ(Outcome(NullWriteTask), kNullWrite);
  }).join();
  ::munmap(inaccessible, page);
}

TEST(TaskGuard, AStackOverflowIsCaughtOnTheAlternateStack) {
  std::string text;
  std::thread([&] { text = Outcome(RecursionTask); }).join();
  EXPECT_EQ(text.rfind("Access violation (SIGSEGV) at address 0x", 0), 0u) << text;
}

TEST(TaskGuard, FaultsOnTwoThreadsAtOnceAreEachCaught) {
  constexpr int kRounds = 200;
  std::atomic<int> waiting{2};
  std::atomic<int> caught[2] = {0, 0};
  auto body = [&](int index) {
    waiting.fetch_sub(1);
    for (int spin = 0; waiting.load() > 0 && spin < 100000000; ++spin) {
    }
    for (int round = 0; round < kRounds; ++round) {
      bool divide = (round + index) % 2 == 0;
      std::string text = Outcome(divide ? IntegerDivisionTask : NullWriteTask);
      if (text == (divide ? "Integer division by zero (SIGFPE)" : kNullWrite)) caught[index].fetch_add(1);
    }
  };
  std::thread first(body, 0), second(body, 1);
  first.join();
  second.join();
  EXPECT_EQ(caught[0].load(), kRounds);
  EXPECT_EQ(caught[1].load(), kRounds);
}

TEST(TaskGuard, AnExceptionOfTaskCodeFailsTheCallWithItsText) {
  EXPECT_EQ(Outcome(ThrowingTask), "no input for the task");
  int anything = 0;
  EXPECT_EQ(Outcome(ThrowingTask, &anything), "Unknown error");
  EXPECT_FALSE(TTaskGuard::Armed());
  EXPECT_EQ(Outcome(NullWriteTask), kNullWrite) << "the thread is armed again for the next call";
}

TEST(TaskGuard, ACallNestedInADisarmedSlotCatchesItsOwnFault) {
  uint32_t (*slot)() = SlotWithNestedCall;
  uint32_t result = 0;
  EXPECT_OK(TTaskGuard::CallTask(CallbackTask, nullptr, &slot, nullptr, nullptr, result));
  EXPECT_EQ(result, 7u);
}

// abort() returns into the guard, which restores the signal mask it found:
// the thread catches the next abort and the next fault, and the C library's
// abort() starts over each time.
TEST(TaskGuard, AnAbortInTaskCodeFailsTheCallAndTheThreadGoesOn) {
  std::thread([] {
    EXPECT_EQ(Outcome(AbortTask), kAborted);
    EXPECT_EQ(Outcome(FailedAssertTask), kAborted);
    EXPECT_EQ(Outcome(TerminatingTask), kAborted);
    EXPECT_EQ(Outcome(AbortTask), kAborted);
    sigset_t blocked;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, nullptr, &blocked), 0);
    EXPECT_FALSE(sigismember(&blocked, SIGABRT));
    EXPECT_EQ(Outcome(NullWriteTask), kNullWrite);
    EXPECT_EQ(Outcome(ReturnSessionTask, reinterpret_cast<void*>(uintptr_t{1})), "returned");
    EXPECT_FALSE(TTaskGuard::Armed());
    ExpectTaskFloatingPoint();
  }).join();
}

// A fresh thread, so the test thread's own state stays as it was.
TEST(TaskFloatingPoint, TasksRunMaskedAtRoundToNearestAndAFaultReloadsTheState) {
  std::thread([] {
    std::fesetround(FE_UPWARD);
    ASSERT_OK(TTaskGuard::PrepareThread());
    ExpectTaskFloatingPoint();
    double quotient = 0;
    EXPECT_EQ(Outcome(FloatDivisionTask, &quotient), "returned");
    EXPECT_TRUE(std::isinf(quotient) && quotient > 0);
    EXPECT_EQ(Outcome(RoundUpwardTask), "returned");
    EXPECT_EQ(std::fegetround(), FE_UPWARD) << "a task's change stays for the thread's later tasks";
    EXPECT_EQ(Outcome(RoundUpwardTask, &quotient), kNullWrite);
    ExpectTaskFloatingPoint();
  }).join();
}

// Faults the guard must not catch end the process with the default action.
TEST(TaskGuardDeathTest, AFaultInTheAgentsOwnCodeEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  uint32_t (*slot)() = SlotThatFaults;
  EXPECT_EXIT(Outcome(CallbackTask, &slot), testing::KilledBySignal(SIGSEGV), "");
  EXPECT_EXIT(
      {
        IGenericStream* out = TGenericStream::Create();
        uint32_t result = 0;
        static_cast<void>(TTaskGuard::CallTask(BadStreamWriteTask, nullptr, nullptr, nullptr, out, result));
      },
      testing::KilledBySignal(SIGSEGV), "");
  EXPECT_EXIT(
      {
        if (!TTaskGuard::PrepareThread().Ok()) std::exit(1);
        WriteToNull();
      },
      testing::KilledBySignal(SIGSEGV), "");
  EXPECT_EXIT(
      {
        if (!TTaskGuard::PrepareThread().Ok()) std::exit(1);
        DivideByZero();
      },
      testing::KilledBySignal(SIGFPE), "");
}

// An abort is the task's only inside task code; elsewhere, and when another
// process sends it, the process ends with it.
TEST(TaskGuardDeathTest, AnAbortOutsideTaskCodeEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  uint32_t (*slot)() = SlotThatAborts;
  EXPECT_EXIT(Outcome(CallbackTask, &slot), testing::KilledBySignal(SIGABRT), "");
  EXPECT_EXIT(
      {
        if (!TTaskGuard::PrepareThread().Ok()) std::exit(1);
        std::abort();
      },
      testing::KilledBySignal(SIGABRT), "");
  EXPECT_EXIT(Outcome(AbortedFromOutsideTask), testing::KilledBySignal(SIGABRT), "");
}
