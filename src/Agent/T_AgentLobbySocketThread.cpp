// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_AgentLobbySocketThread.h"

#include <cerrno>
#include <charconv>
#include <optional>

#include "Agent/T_AgentContext.h"
#include "Agent/T_SessionEntry.h"
#include "Agent/T_SessionServices.h"
#include "Agent/T_AgentSession.h"
#include "Common/CommandText.h"
#include "Common/T_BlockCache.h"
#include "Common/T_StreamRef.h"
#include "Common/WireFraming.h"
#include "Common/kelvracommon.h"

namespace {

// The task id: the text as a signed 64-bit decimal number, low 32 bits kept.
std::optional<uint32_t> ParseTaskId(const std::string& text) {
  int64_t value = 0;
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  if (begin != end && *begin == '+') ++begin;  // a leading plus sign is a number too
  auto [stop, error] = std::from_chars(begin, end, value);
  if (error != std::errc() || stop != end || begin == end) return std::nullopt;
  return static_cast<uint32_t>(static_cast<uint64_t>(value));
}

}  // namespace

TAgentLobbySocketThread::TAgentLobbySocketThread(const TAgentContext& context, const TSessionServices& services)
    : Context(context), Services(services) {}

TAgentLobbySocketThread::~TAgentLobbySocketThread() = default;

void TAgentLobbySocketThread::Serve(TConnection& connection) {
  Context.ChangeThreadPriority(Context.Platform().System->CurrentThreadId(), tpAboveNormal);
  // Nobody is served any more; the close is all that is owed.
  if (Services.Closing.IsSet()) {
    connection.Close();
    return;
  }
  Address = connection.PeerAddress();
  {
    TSessionEntry session(Services.Sessions, *Context.Platform().System, Address);
    RunSession(connection);
  }
  Context.DebugWrite("AGENTLOBBYTHREAD: Exit");
}

void TAgentLobbySocketThread::RunSession(TConnection& connection) {
  try {
    // A session that cannot be made, or a command that fails the agent's own
    // checks (an assertion, memory), ends this session only.
    Session = std::make_unique<TAgentSession>(Context, Services, Address);
    while (connection.Connected() && ServeCommand(connection)) {
    }
  } catch (const std::exception& error) {
    Context.DebugWrite("AGENTLOBBYTHREAD: exception %s, closing socket", UserText(error.what()));
  }
  connection.Close();
  if (Services.LobbyClosed) Services.LobbyClosed();
  Context.DebugWrite("AGENTLOBBYTHREAD: Thread closing, Disconnecting...");
  Session.reset();  // waits for the session's running tasks and their reports
}

bool TAgentLobbySocketThread::ServeCommand(TConnection& connection) {
  std::string text;
  const TStatus read = SocketReadString(connection, text, kLobbyTimeout, kMaxCommandLength);
  if (read.Code() == EMSGSIZE) {
    Context.DebugWrite("AGENTLOBBYTHREAD: Command text longer than %d bytes, disconnecting.", kMaxCommandLength);
    return Drop();
  }
  if (!read) {
    Context.DebugWrite("AGENTLOBBYTHREAD: No KEEP_ALIVE for a long time, disconnecting.");
    return Drop();
  }
  if (Session->PeerFailed()) {
    Context.DebugWrite("AGENTLOBBYTHREAD: Peer has connection problems, disconnecting.");
    return Drop();
  }
  std::vector<std::string> items = SplitCommandItems(text, kCommandItemsSplit);
  if (items.empty()) {
    Context.DebugWrite("AGENTLOBBYTHREAD: command.itemsCount=0!!! s=\"%s\"", UserText(text));
    return true;
  }
  if (!Dispatch(connection, items)) return false;
  // The session answers its tasks with TASK_FAILED; nothing else
  // can be served.
  if (Session->StartupFailed()) {
    Context.DebugWrite("AGENTLOBBYTHREAD: Session could not start, disconnecting.");
    return Drop();
  }
  return true;
}

bool TAgentLobbySocketThread::Drop() const {
  Context.DebugWrite("AGENTLOBBYTHREAD: exception , closing socket");
  return false;
}

bool TAgentLobbySocketThread::Dispatch(TConnection& connection, const std::vector<std::string>& items) {
  const std::string& command = items[0];
  if (command == "RUN_TASK") return RunTask(connection, items);
  if (command == "KEEP_ALIVE") {
    Context.DebugWrite("AGENTLOBBYTHREAD: KEEP_ALIVE received ");
    // A write that fails shows up at the next read.
    Context.LogFrameFailure(SocketWriteString(connection, Services.Load.GetLoadSummary(), kLobbyTimeout));
  } else if (command == "DISCONNECT") {
    Context.DebugWrite("AGENTLOBBYTHREAD: Received DISCONNECT command.");
    return false;
  } else if (command == "GET_POOLSIZE") {
    Context.LogFrameFailure(SocketWriteString(connection, std::to_string(Context.PoolSize()), kLobbyTimeout));
  }
  // Any other word is ignored.
  return true;
}

bool TAgentLobbySocketThread::RunTask(TConnection& connection, const std::vector<std::string>& items) {
  Context.DebugWrite("AGENTLOBBYTHREAD: Got RUN_TASK command, reading data...");
  if (items.size() != 4) return Drop();
  IGenericStream* received = nullptr;
  if (!SocketReadGenericStream(connection, received, kLobbyTimeout)) {
    Context.DebugWrite("AGENTLOBBYTHREAD: Unable to receive data for task %s", UserText(items[1]));
    return Drop();
  }
  TStreamRef input(received);
  Context.DebugWrite("AGENTLOBBYTHREAD: Data for task %s received", UserText(items[1]));
  // A stream just made has one holder; the check has no line of its own.
  RequireSingleHolder(input.Get(), "Agent/T_AgentLobbySocketThread", 0);
  const std::optional<uint32_t> taskId = ParseTaskId(items[1]);
  if (!taskId) {
    Context.DebugWrite("AGENTLOBBYTHREAD: exception %s, closing socket",
                       UserText("'" + items[1] + "' is not a valid integer value"));
    return false;
  }
  Session->AddTask(*taskId, items[2], items[3], input);
  return true;
}
