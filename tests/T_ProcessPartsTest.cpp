// SPDX-License-Identifier: Apache-2.0
// What the agent and a session process share across the process boundary:
// sealed shared memory, a started program with descriptors handed over and
// its end told as text, the control channel, and the library lock that a
// dying holder leaves behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "Platform/T_ControlChannel.h"
#include "Platform/T_LaunchedProcess.h"
#include "Platform/T_LibraryLock.h"
#include "Platform/T_SharedMemory.h"
#include "Platform/T_WakeDescriptor.h"
#include "TestSupport.h"

namespace {

TEST(SharedMemory, ASealedRegionIsReadOnlyToEveryOtherMappingButNotToItsOwner) {
  TSharedMemory owner;
  ASSERT_OK(TSharedMemory::Create("test", 4096, owner));
  ASSERT_OK(owner.SealWrites());
  static_cast<char*>(owner.Address())[0] = 'a';  // the owner's mapping stays writable

  TSharedMemory reader, writer;
  ASSERT_OK(TSharedMemory::Attach(::dup(owner.Descriptor()), true, reader));
  EXPECT_EQ(static_cast<const char*>(reader.Address())[0], 'a');
  const TStatus refused = TSharedMemory::Attach(::dup(owner.Descriptor()), false, writer);
  EXPECT_FALSE(refused.Ok());
  EXPECT_EQ(refused.Code(), EPERM) << refused.Text();
  EXPECT_NE(::ftruncate(owner.Descriptor(), 8192), 0) << "nor can it grow";
}

TEST(LaunchedProcess, HandsOverDescriptorsAndTellsHowTheProgramEnded) {
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  TLaunchedProcess process;
  ASSERT_OK(process.Launch("/bin/sh", {"shown-name", "-c", "echo handed >&5; exit 3"}, {"PATH=/usr/bin:/bin"},
                           {{pipe[1], 5}}));
  ::close(pipe[1]);
  ASSERT_TRUE(WaitReadable({process.EndDescriptor()}, 10000)) << "the end is readable at once";
  int status = 0;
  ASSERT_TRUE(WaitUntil([&] { return process.Ended(status); }, std::chrono::seconds(10)));
  EXPECT_EQ(TLaunchedProcess::DescribeEnding(status), "exit status 3");
  char text[16] = {};
  EXPECT_EQ(::read(pipe[0], text, sizeof text - 1), 7);
  EXPECT_STREQ(text, "handed\n");
  ::close(pipe[0]);

  TLaunchedProcess sleeper;
  ASSERT_OK(sleeper.Launch("/bin/sleep", {"sleep", "60"}, {}, {}));
  EXPECT_FALSE(sleeper.Ended(status));
  EXPECT_EQ(TLaunchedProcess::DescribeEnding(sleeper.Kill()), "killed by SIGKILL");
  EXPECT_TRUE(sleeper.Ended(status)) << "reaped";
  EXPECT_EQ(TLaunchedProcess::DescribeEnding(status), "killed by SIGKILL");

  TLaunchedProcess missing;
  EXPECT_FALSE(missing.Launch("/nonexistent/program", {"x"}, {}, {}).Ok());
}

TEST(ControlChannel, CarriesWholeMessagesAndTellsTheOtherSidesEnd) {
  TControlChannel agent, session;
  ASSERT_OK(TControlChannel::Pair(agent, session));
  const std::string large(300000, 'x');
  ASSERT_OK(agent.Send("T"));
  ASSERT_OK(agent.Send("L" + large));
  std::string message;
  ASSERT_OK(session.Receive(message, 1000));
  EXPECT_EQ(message, "T");
  ASSERT_OK(session.Receive(message, 1000));
  EXPECT_EQ(message, "L" + large) << "one message, whole";
  EXPECT_EQ(session.Receive(message, 0).Code(), ETIMEDOUT);
  agent.Close();
  EXPECT_EQ(session.Receive(message, 1000).Code(), ENOTCONN);
  EXPECT_EQ(session.Send("D").Code(), ENOTCONN);
}

// A holder that dies leaves the shared lock to the next taker with
// EOWNERDEAD; Mend makes it whole again, also after a taker released it
// without making it consistent.
TEST(LibraryLock, MendReleasesWhatADeadHolderLeft) {
  TSharedMemory memory;
  ASSERT_OK(TSharedMemory::Create("lock", sizeof(TLibraryLock), memory));
  auto* lock = new (memory.Address()) TLibraryLock(true);
  auto* mutex = static_cast<pthread_mutex_t*>(lock->Address());
  const auto dieHolding = [&] {
    const pid_t child = ::fork();
    if (child == 0) {
      pthread_mutex_lock(mutex);
      ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
  };

  dieHolding();
  lock->Mend();
  ASSERT_EQ(pthread_mutex_trylock(mutex), 0);
  ASSERT_EQ(pthread_mutex_trylock(mutex), 0) << "still recursive";
  pthread_mutex_unlock(mutex);
  pthread_mutex_unlock(mutex);

  dieHolding();
  ASSERT_EQ(pthread_mutex_lock(mutex), EOWNERDEAD);
  pthread_mutex_unlock(mutex);  // without pthread_mutex_consistent: unrecoverable
  ASSERT_EQ(pthread_mutex_trylock(mutex), ENOTRECOVERABLE);
  lock->Mend();
  EXPECT_EQ(pthread_mutex_trylock(mutex), 0);
  pthread_mutex_unlock(mutex);
  lock->~TLibraryLock();
}

}  // namespace
