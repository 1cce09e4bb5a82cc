#include "Agent/T_AgentLobbySocketThread.h"

#include <charconv>
#include <stdexcept>

#include "Agent/T_AgentContext.h"
#include "Agent/T_SessionServices.h"
#include "Agent/T_AgentWorkerThread.h"
#include "Common/CommandText.h"
#include "Common/T_BlockCache.h"
#include "Common/T_StreamRef.h"
#include "Common/WireFraming.h"
#include "Common/kelvracommon.h"

namespace {

// The loop's own reasons to end a session carry no message of their own:
// the line before them says why.
struct TSessionEnd : std::runtime_error {
  TSessionEnd() : std::runtime_error("") {}
};

// The task id: the text as a signed 64-bit decimal number, low 32 bits kept.
uint32_t ParseTaskId(const std::string& text) {
  int64_t value = 0;
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  if (begin != end && *begin == '+') ++begin;  // a leading plus sign is a number too
  auto [stop, error] = std::from_chars(begin, end, value);
  if (error != std::errc() || stop != end || begin == end)
    throw std::runtime_error("'" + text + "' is not a valid integer value");
  return static_cast<uint32_t>(static_cast<uint64_t>(value));
}

// The session's entry in the agent's session list: added at construction,
// removed however the session ends. The last session to end hands the
// memory freed meanwhile back to the system, the blocks kept for reuse too.
class TSessionEntry {
 public:
  TSessionEntry(TSessionList& sessions, ISystem& system, const std::string& address)
      : Sessions(sessions), System(system), Address(address) {
    Sessions.AddSession(Address);
  }
  ~TSessionEntry() {
    if (Sessions.RemoveSession(Address)) {
      TBlockCache::Process().ReleaseAll();
      System.ReleaseFreeMemory();
    }
  }
  TSessionEntry(const TSessionEntry&) = delete;
  TSessionEntry& operator=(const TSessionEntry&) = delete;

 private:
  TSessionList& Sessions;      // borrowed
  ISystem& System;             // borrowed
  const std::string& Address;  // borrowed
};

}  // namespace

TAgentLobbySocketThread::TAgentLobbySocketThread(const TAgentContext& context, const TSessionServices& services)
    : TServerClientThread("AgentLobbySocketThread"), Context(context), Services(services) {}

TAgentLobbySocketThread::~TAgentLobbySocketThread() = default;

void TAgentLobbySocketThread::ClientExecute() {
  Context.ChangeThreadPriority(Context.Platform().System->CurrentThreadId(), tpAboveNormal);
  TCustomWinSocket& connection = ClientSocket();
  if (Services.Closing.IsSet()) {
    try {
      connection.Close();
    } catch (...) {
      // Nobody is served any more; the close is all that is owed.
    }
    return;
  }
  Address = connection.RemoteAddress();
  {
    TSessionEntry session(Services.Sessions, *Context.Platform().System, Address);
    Serve(connection);
  }
  Context.DebugWrite("AGENTLOBBYTHREAD: Exit");
}

void TAgentLobbySocketThread::Serve(TCustomWinSocket& connection) {
  try {
    Worker = std::make_unique<TAgentWorkerThread>(Context, Services, Address);
  } catch (const std::exception& error) {
    Context.DebugWrite("AGENTLOBBYTHREAD: exception %s, closing socket", UserText(error.what()));
    Terminate();
  }

  while (Worker && !Terminated() && connection.Connected()) {
    try {
      std::string text;
      const TTextRead read = SocketReadBoundedString(connection, text, kLobbyTimeout, kMaxCommandLength);
      if (read == TTextRead::TooLong) {
        Context.DebugWrite("AGENTLOBBYTHREAD: Command text longer than %d bytes, disconnecting.", kMaxCommandLength);
        throw TSessionEnd();
      }
      if (read != TTextRead::Read) {
        Context.DebugWrite("AGENTLOBBYTHREAD: No KEEP_ALIVE for a long time, disconnecting.");
        throw TSessionEnd();
      }
      if (Worker->PeerFailed()) {
        Context.DebugWrite("AGENTLOBBYTHREAD: Peer has connection problems, disconnecting.");
        throw TSessionEnd();
      }
      std::vector<std::string> items = SplitCommandItems(text, kCommandItemsSplit);
      if (items.empty()) {
        Context.DebugWrite("AGENTLOBBYTHREAD: command.itemsCount=0!!! s=\"%s\"", UserText(text));
        continue;
      }
      Dispatch(items);
      // The worker answers the session's tasks with TASK_FAILED; nothing
      // else can be served.
      if (Worker->StartupFailed()) {
        Context.DebugWrite("AGENTLOBBYTHREAD: Session could not start, disconnecting.");
        throw TSessionEnd();
      }
    } catch (const std::exception& error) {
      Context.DebugWrite("AGENTLOBBYTHREAD: exception %s, closing socket", UserText(error.what()));
      Terminate();
    }
  }

  try {
    if (connection.Connected()) connection.Close();
  } catch (...) {
    // The session ends either way.
  }
  Context.DebugWrite("AGENTLOBBYTHREAD: Thread closing, Disconnecting...");
  Worker.reset();  // waits for the session's running tasks and their reports
}

void TAgentLobbySocketThread::Dispatch(const std::vector<std::string>& items) {
  const std::string& command = items[0];
  TCustomWinSocket& connection = ClientSocket();
  if (command == "RUN_TASK") {
    RunTask(items);
  } else if (command == "KEEP_ALIVE") {
    Context.DebugWrite("AGENTLOBBYTHREAD: KEEP_ALIVE received ");
    // A write that fails shows up at the next read.
    SocketWriteString(connection, Services.Load.GetLoadSummary(), kLobbyTimeout, Context.FrameErrorLog());
  } else if (command == "DISCONNECT") {
    Context.DebugWrite("AGENTLOBBYTHREAD: Received DISCONNECT command.");
    Terminate();
  } else if (command == "GET_POOLSIZE") {
    SocketWriteString(connection, std::to_string(Context.PoolSize()), kLobbyTimeout, Context.FrameErrorLog());
  }
  // Any other word is ignored.
}

void TAgentLobbySocketThread::RunTask(const std::vector<std::string>& items) {
  Context.DebugWrite("AGENTLOBBYTHREAD: Got RUN_TASK command, reading data...");
  if (items.size() != 4) throw TSessionEnd();
  IGenericStream* received = nullptr;
  if (!SocketReadGenericStream(ClientSocket(), received, kLobbyTimeout)) {
    Context.DebugWrite("AGENTLOBBYTHREAD: Unable to receive data for task %s", UserText(items[1]));
    throw TSessionEnd();
  }
  TStreamRef input(received);
  Context.DebugWrite("AGENTLOBBYTHREAD: Data for task %s received", UserText(items[1]));
  // A stream just made has one holder; the check has no line of its own.
  RequireSingleHolder(input.Get(), "Agent/T_AgentLobbySocketThread", 0);
  const uint32_t taskId = ParseTaskId(items[1]);
  Worker->AddTask(taskId, items[2], items[3], input);
}
