// SPDX-License-Identifier: Apache-2.0
// TAgentPeer: a session's one connection to its user's data port. Over it
// the agent asks for files (GET_FILE) and data blocks (GET_DATA) and reports
// finished tasks (TASK_DONE with the output) and failed ones (TASK_FAILED).
// The agent always speaks first; each exchange is a request, then at most one
// reply text and one data block.
//
// Threads: made with the session's worker, connected and destroyed by the
// worker thread; the exchanges run on pool threads. Each exchange holds the
// peer's lock from its first write to its last read, so exchanges of
// different threads never interleave on the wire. No exchange calls another,
// so the lock is taken once per exchange. TASK_DONE reports are posted
// rather than sent: a thread that finds another one sending leaves its report
// to that one and goes on, and the reports waiting then leave together in one
// write (a bounded amount: past it a poster waits for room). Lock order (Agent/LockOrder.h): the
// callers' locks (file cache, data cache) before the peer's; under it only
// the connection's own.
//
// Time limits: while the session lives, an exchange waits for the user as
// long as it takes (a busy user is still a user, and only this session waits
// for it; the lobby's silence bound tells a user that has gone). Once the
// session ends, a user that moves no byte for kClosingWaitMs is dropped: each
// frame begun from then on must pass within kClosingWaitMs as a whole, and the
// worker's CloseIfStalled ends a wait begun before, so the session's threads
// come back whatever the user does.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "Common/T_Connection.h"
#include "Common/T_StreamRef.h"
#include "Platform/I_ByteSink.h"
#include "Platform/T_Condition.h"
#include "Platform/T_Mutex.h"

class ILoadSource;
class ITaskReport;
class TAgentContext;
class TClosingFlag;

class TAgentPeer {
 public:
  // How long a user may stay silent in an exchange once the session ends.
  static constexpr int kClosingWaitMs = 5000;

  // A peer for `userAddress` on [user] data_port, not connected yet.
  // `context`, `agentClosing` (the agent's shutdown) and `load` (the summary
  // each TASK_DONE carries) are borrowed for the peer's life.
  TAgentPeer(const TAgentContext& context, const TClosingFlag& agentClosing, const ILoadSource& load,
             std::string userAddress);
  // Closes the connection; nothing is sent first.
  ~TAgentPeer();
  TAgentPeer(const TAgentPeer&) = delete;
  TAgentPeer& operator=(const TAgentPeer&) = delete;

  // Connects, at most once. Never fails: without a connection every later
  // exchange fails at once, without traffic. The owner's thread.
  void Connect();

  // The session ends (any thread; again changes nothing): a connect in
  // progress or still to come gives up, and from now on no wait of an
  // exchange lasts longer than kClosingWaitMs. The user gets that long from
  // now; while the agent shuts down, from the last byte it moved, so that
  // sessions ending one after another do not add up their waits.
  void BeginClosing();

  // After BeginClosing, run now and then while the session's tasks finish:
  // closes the connection when an exchange in progress has moved no byte for
  // kClosingWaitMs, which ends it and fails later ones at once.
  void CloseIfStalled();

  // GET_FILE `name` (the file cache's upper-cased key), its bytes handed to
  // `file` as they arrive (never held whole); ok once all of them went
  // there. `refused` says whether a failure is the user's refusal (a reply
  // other than "Ok", logged here as the file not found on user); any other
  // failure says what happened: no connection, the connection failing or
  // closing mid-file, or `file` refusing bytes (whose own failure is
  // answered once the rest of the file has been read and dropped). A
  // failure that leaves part of the answer unread shuts the connection
  // down, so that no later exchange reads it as frames.
  TStatus RequestFile(const std::string& name, IByteSink& file, bool& refused) EXCLUDES(Lock);

  // GET_DATA `identifier`: a new stream holding the block (its one
  // reference is the caller's), or an empty holder on failure.
  TStreamRef RequestData(const std::string& identifier) EXCLUDES(Lock);

  // TASK_DONE with the load summary of this moment and the whole output,
  // posted: `output` moves in (the caller's holder is emptied) and is let go
  // once sent. The report leaves on this thread, or
  // on the thread already sending, with the other reports waiting then; a
  // report that cannot be sent marks `reportTo` failed. Returns once the
  // report is on its way: sent, or left to a sender that sends it before it
  // returns itself (so a pool thread's report is out before its task ends).
  // Should sending fail by an exception (memory), the reports it had taken
  // mark their sessions failed, the next poster sends again, and the
  // exception goes on to the caller.
  void PostTaskDone(uint32_t taskId, TStreamRef& output, ITaskReport& reportTo) EXCLUDES(Lock, PostLock);

  // TASK_FAILED with `message` encoded.
  bool SendTaskFailed(uint32_t taskId, const std::string& message) EXCLUDES(Lock);
  // The frame's text: "TASK_FAILED <id> <message encoded>".
  static std::string TaskFailedText(uint32_t taskId, const std::string& message);

  const std::string& UserAddress() const { return Address; }
  bool Connected() const { return Socket.Connected(); }

 private:
  using TClock = std::chrono::steady_clock;
  class TExchange;

  // Time limit of each wait of an exchange that begins now.
  int WaitLimit() const;
  // The connection for an exchange's reads and writes.
  TConnection& Wire() REQUIRES(Lock) { return Socket; }

  // Constant after construction.
  const TAgentContext& Context;      // borrowed
  const TClosingFlag& AgentClosing;  // borrowed
  const ILoadSource& Load;           // borrowed
  const std::string Address;

  // Serialises whole exchanges. Held across network waits.
  TMutex Lock;
  // Opened by Connect; read and written only through Wire, under Lock;
  // cancelled, watched and shut down by any thread; closed by the owner.
  TConnection Socket;

  // Reports posted and not yet taken by a sender; Sending while a thread
  // sends them. Room is notified as a sender takes them.
  struct TPostedReport {
    uint32_t TaskId;
    std::string Text;
    TStreamRef Output;
    ITaskReport* ReportTo;  // borrowed
  };
  // Bytes of output that may wait for a sender before posters wait too.
  static constexpr size_t kMaxPostedBytes = 8u << 20;
  // Sends what was posted until nothing is left; the thread that set Sending.
  void SendPosted() EXCLUDES(Lock, PostLock);
  // After a sender failed by an exception: `batch` (what it had taken) and
  // everything still posted will never be sent, so their sessions are
  // marked failed, and posting starts afresh.
  void AbandonPosted(std::vector<TPostedReport>& batch) noexcept EXCLUDES(PostLock);
  TMutex PostLock;  // a leaf
  TCondition PostedRoom;
  std::vector<TPostedReport> Posted GUARDED_BY(PostLock);
  size_t PostedBytes GUARDED_BY(PostLock) = 0;
  bool Sending GUARDED_BY(PostLock) = false;

  // Written by BeginClosing, read by exchanges and CloseIfStalled: plain
  // values, relaxed (the socket's own lock orders the close they lead to).
  std::atomic<bool> Closing{false};
  std::atomic<TClock::rep> ClosingSince{0};
  // Written by exchanges as they begin and end, read by CloseIfStalled.
  std::atomic<int> Exchanges{0};
  std::atomic<TClock::rep> ExchangeSince{0};
};
