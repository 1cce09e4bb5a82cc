// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_AgentPeer.h"

#include <algorithm>

#include "Agent/I_LoadSource.h"
#include "Agent/I_TaskReport.h"
#include "Agent/T_AgentContext.h"
#include "Agent/T_ClosingFlag.h"
#include "Agent/T_SessionLedger.h"
#include "Common/CommandText.h"
#include "Common/WireFraming.h"
#include "Platform/TimeLimit.h"

namespace {

// While the session lives, the user connection's reads and writes wait
// without limit.
constexpr int kUserTimeout = kInfiniteWait;
// The user's reply before a file or data block is "Ok" or a short refusal;
// a longer one is not held (the exchange fails).
constexpr int32_t kMaxReplyLength = 65536;

}  // namespace

// Marks an exchange in progress for CloseIfStalled; made under the lock.
class TAgentPeer::TExchange {
 public:
  explicit TExchange(TAgentPeer& peer) : Peer(peer) {
    Peer.ExchangeSince.store(TClock::now().time_since_epoch().count(), std::memory_order_relaxed);
    Peer.Exchanges.fetch_add(1, std::memory_order_relaxed);
  }
  ~TExchange() { Peer.Exchanges.fetch_sub(1, std::memory_order_relaxed); }
  TExchange(const TExchange&) = delete;
  TExchange& operator=(const TExchange&) = delete;

 private:
  TAgentPeer& Peer;
};

TAgentPeer::TAgentPeer(const TAgentContext& context, const TClosingFlag& agentClosing, const ILoadSource& load,
                       std::string userAddress)
    : Context(context),
      AgentClosing(agentClosing),
      Load(load),
      Address(std::move(userAddress)) {}

void TAgentPeer::Connect() {
  Context.DebugWrite("AGENTPEER: Connecting to user data port, IP=%s", Address);
  if (Socket.Open(*Context.Platform().Names, Address, static_cast<uint16_t>(Context.Settings().DataPort)))
    Context.DebugWrite("AGENTPEER: Connected to user data port sucessfully, IP=%s", Address);
  else
    Context.DebugWrite("AGENTPEER: Unable to connect to user data port, IP=%s", Address);
}

void TAgentPeer::BeginClosing() {
  if (!Closing.exchange(true, std::memory_order_relaxed) && !AgentClosing.IsSet())
    ClosingSince.store(TClock::now().time_since_epoch().count(), std::memory_order_relaxed);
  Socket.CancelOpen();
}

void TAgentPeer::CloseIfStalled() {
  if (!Closing.load(std::memory_order_relaxed) || Exchanges.load(std::memory_order_relaxed) == 0 ||
      !Socket.Connected())
    return;
  const TClock::time_point quietSince =
      std::max({Socket.LastProgress(),
                TClock::time_point(TClock::duration(ExchangeSince.load(std::memory_order_relaxed))),
                TClock::time_point(TClock::duration(ClosingSince.load(std::memory_order_relaxed)))});
  if (TClock::now() - quietSince < std::chrono::milliseconds(kClosingWaitMs)) return;
  Context.DebugWrite("AGENTPEER: User does not answer, connection closed, IP=%s", Address);
  // Ends the exchange in progress; the owner closes the descriptor.
  Socket.Shutdown();
}

int TAgentPeer::WaitLimit() const {
  return Closing.load(std::memory_order_relaxed) ? kClosingWaitMs : kUserTimeout;
}

TAgentPeer::~TAgentPeer() = default;

TStatus TAgentPeer::RequestFile(const std::string& name, IByteSink& file, bool& refused) {
  TMutexLock guard(Lock);
  TExchange exchange(*this);
  const int limit = WaitLimit();
  TConnection& wire = Wire();
  refused = false;
  // Without a connection the exchange fails at once, without traffic.
  const TStatus asked = SocketWriteString(wire, "GET_FILE " + EncodeArgument(name), limit);
  Context.LogFrameFailure(asked);
  if (!asked) return asked;
  std::string reply;
  TStatus answered = SocketReadString(wire, reply, limit, kMaxReplyLength);
  if (answered && reply != "Ok") {
    refused = true;
    Context.DebugWrite("AGENTPEER: GET_FILE %s failed, file not found on user, IP=%s", UserText(name), Address);
    return TStatus::Failure("GET_FILE " + name, "file not found on user");
  }
  TStatus kept;
  if (answered) answered = SocketReadStreamTo(wire, file, kept, limit);
  if (!answered) {
    wire.Shutdown();
    return answered;
  }
  return kept;
}

TStreamRef TAgentPeer::RequestData(const std::string& identifier) {
  TMutexLock guard(Lock);
  TExchange exchange(*this);
  const int limit = WaitLimit();
  TConnection& wire = Wire();
  const TStatus asked = SocketWriteString(wire, "GET_DATA " + EncodeArgument(identifier), limit);
  Context.LogFrameFailure(asked);
  std::string reply;
  IGenericStream* block = nullptr;
  if (asked && SocketReadString(wire, reply, limit, kMaxReplyLength) && reply == "Ok" &&
      SocketReadGenericStream(wire, block, limit))
    return TStreamRef(block);
  Context.DebugWrite("AGENTPEER: GET_DATA failed! User IP=%s", Address);
  return TStreamRef();
}

void TAgentPeer::PostTaskDone(uint32_t taskId, TStreamRef& output, ITaskReport& reportTo) {
  std::string text = "TASK_DONE " + std::to_string(taskId) + " " + Load.GetLoadSummary();
  const size_t size = output ? static_cast<size_t>(std::max(output.GetSize(), 0)) : 0;
  {
    TMutexLock guard(PostLock);
    // The sender's write ends one way or another (a stalled user is closed
    // at the session's end), and each batch it takes makes room.
    while (Sending && PostedBytes > 0 && PostedBytes + size > kMaxPostedBytes) PostedRoom.Wait(PostLock);
    Posted.push_back(TPostedReport{taskId, std::move(text), std::move(output), &reportTo});
    PostedBytes += size;
    if (Sending) return;
    Sending = true;
  }
  SendPosted();
}

void TAgentPeer::SendPosted() {
  std::vector<TPostedReport> batch;
  std::vector<TTextAndStream> blocks;
  // Left by an exception (memory, the log): nothing taken may wait for a
  // sender that has gone, and the next poster must find none.
  struct TUnwind {
    TAgentPeer& Peer;
    std::vector<TPostedReport>& Batch;
    bool Done = false;
    ~TUnwind() {
      if (!Done) Peer.AbandonPosted(Batch);
    }
  } unwind{*this, batch};
  for (;;) {
    batch.clear();
    {
      TMutexLock guard(PostLock);
      if (Posted.empty()) {
        Sending = false;
        unwind.Done = true;
        return;
      }
      batch.swap(Posted);
      PostedBytes = 0;
    }
    PostedRoom.NotifyAll();
    blocks.clear();
    for (const TPostedReport& report : batch) blocks.push_back(TTextAndStream{report.Text, report.Output.Get()});
    TStatus sent;
    {
      TMutexLock guard(Lock);
      TExchange exchange(*this);
      for (const TPostedReport& report : batch)
        Context.DebugWrite("AGENTPEER: TASK_DONE %u for IP=%s", report.TaskId, Address);
      sent = SocketWriteStringsAndStreams(Wire(), blocks.data(), blocks.size(), WaitLimit());
    }
    Context.LogFrameFailure(sent);
    if (!sent)
      for (const TPostedReport& report : batch) report.ReportTo->MarkPeerFailed();
    else if (TSessionLedger* ledger = TSessionLedger::OfThisProcess())
      for (const TPostedReport& report : batch) ledger->Answered(report.TaskId);
  }
}

void TAgentPeer::AbandonPosted(std::vector<TPostedReport>& batch) noexcept {
  std::vector<TPostedReport> waiting;
  {
    TMutexLock guard(PostLock);
    waiting.swap(Posted);
    PostedBytes = 0;
    Sending = false;
  }
  PostedRoom.NotifyAll();
  // Reports that will never leave: their sessions end.
  for (const TPostedReport& report : batch) report.ReportTo->MarkPeerFailed();
  for (const TPostedReport& report : waiting) report.ReportTo->MarkPeerFailed();
}

bool TAgentPeer::SendTaskFailed(uint32_t taskId, const std::string& message) {
  TMutexLock guard(Lock);
  TExchange exchange(*this);
  Context.DebugWrite("AGENTPEER: TASK_FAILED %u for IP=%s - %s", taskId, Address, UserText(message));
  const TStatus sent = SocketWriteString(Wire(), TaskFailedText(taskId, message), WaitLimit());
  Context.LogFrameFailure(sent);
  if (sent)
    if (TSessionLedger* ledger = TSessionLedger::OfThisProcess()) ledger->Answered(taskId);
  return sent.Ok();
}

std::string TAgentPeer::TaskFailedText(uint32_t taskId, const std::string& message) {
  return "TASK_FAILED " + std::to_string(taskId) + " " + EncodeArgument(message);
}
