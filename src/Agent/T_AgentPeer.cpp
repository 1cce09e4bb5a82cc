#include "Agent/T_AgentPeer.h"

#include "Agent/T_Agent.h"
#include "Common/CommandText.h"
#include "Common/T_WinSocketStream.h"
#include "Common/WireFraming.h"

namespace {

// The user connection's reads and writes wait without limit.
constexpr int kUserTimeout = TWinSocketStream::kNoTimeLimit;

}  // namespace

TAgentPeer::TAgentPeer(TAgent& agent, std::string userAddress)
    : Agent(agent), Address(std::move(userAddress)), Socket(*agent.Platform().Names) {
  Socket.SetHost(Address);
  Socket.SetPort(agent.Setting().DataPort);
  Agent.DebugWrite("AGENTPEER: Connecting to user data port, IP=%s", Address);
  try {
    Socket.Open();
    Agent.DebugWrite("AGENTPEER: Connected to user data port sucessfully, IP=%s", Address);
  } catch (const std::exception&) {
    Agent.DebugWrite("AGENTPEER: Unable to connect to user data port, IP=%s", Address);
  }
}

TAgentPeer::~TAgentPeer() {
  try {
    Socket.Close();
  } catch (...) {
    // The session is over; a failed close changes nothing for anyone.
  }
}

std::optional<std::string> TAgentPeer::RequestFile(const std::string& name) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  try {
    TCustomWinSocket& socket = Socket.Socket();
    std::string reply, content;
    if (SocketWriteString(socket, "GET_FILE " + EncodeArgument(name), kUserTimeout, Agent.FrameErrorLog()) &&
        SocketReadString(socket, reply, kUserTimeout) && reply == "Ok" &&
        SocketReadStream(socket, content, kUserTimeout))
      return content;
    Agent.DebugWrite("AGENTPEER: GET_FILE %s failed, file not found on user, IP=%s", name, Address);
  } catch (const std::exception&) {
    Agent.DebugWrite("AGENTPEER: GET_FILE %s failed, IP=%s", name, Address);
  }
  return std::nullopt;
}

TStreamRef TAgentPeer::RequestData(const std::string& identifier) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  try {
    TCustomWinSocket& socket = Socket.Socket();
    std::string reply;
    IGenericStream* block = nullptr;
    if (SocketWriteString(socket, "GET_DATA " + EncodeArgument(identifier), kUserTimeout, Agent.FrameErrorLog()) &&
        SocketReadString(socket, reply, kUserTimeout) && reply == "Ok" &&
        SocketReadGenericStream(socket, block, kUserTimeout))
      return TStreamRef(block);
    Agent.DebugWrite("AGENTPEER: GET_DATA failed! User IP=%s", Address);
  } catch (const std::exception&) {
    Agent.DebugWrite("AGENTPEER: GET_DATA failed, user IP=%s", Address);
  }
  return TStreamRef();
}

bool TAgentPeer::SendTaskDone(uint32_t taskId, IGenericStream* output) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  Agent.DebugWrite("AGENTPEER: TASK_DONE %u for IP=%s", taskId, Address);
  const std::string text = "TASK_DONE " + std::to_string(taskId) + " " + Agent.GetLoadSummary();
  return SocketWriteStringAndStream(Socket.Socket(), text, output, kUserTimeout, Agent.FrameErrorLog());
}

bool TAgentPeer::SendTaskFailed(uint32_t taskId, const std::string& message) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  Agent.DebugWrite("AGENTPEER: TASK_FAILED %u for IP=%s - %s", taskId, Address, message);
  const std::string text = "TASK_FAILED " + std::to_string(taskId) + " " + EncodeArgument(message);
  return SocketWriteString(Socket.Socket(), text, kUserTimeout, Agent.FrameErrorLog());
}
