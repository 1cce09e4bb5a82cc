// SPDX-License-Identifier: Apache-2.0
#include "User/T_LobbySession.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <vector>

#include "Common/T_GenericStreamRO.h"
#include "Common/T_StreamRef.h"
#include "Common/WireFraming.h"
#include "Platform/PosixCalls.h"
#include "Platform/T_TcpSocket.h"

namespace {

// Before a session is opened again after a failed try.
constexpr int kReopenPauseMs = 250;

}  // namespace

TLobbySession::TLobbySession(TTaskBoard& board, TDataPortGuard& guard, size_t agent, kelvra::TAgentAddress address,
                             const kelvra::TGridOptions& options, INameResolver& resolver)
    : Board(board),
      Guard(guard),
      Agent(agent),
      Address(std::move(address)),
      Name(Address.Text()),
      KeepAliveMs(std::max(options.KeepAliveSeconds, 1) * 1000),
      ConnectTimeoutMs(std::max(options.ConnectTimeoutMs, 1)),
      ReconnectAttempts(std::max(options.ReconnectAttempts, 0)),
      Resolver(resolver),
      Thread("Grid session") {}

void TLobbySession::Start(ISystem& system, IDebugSink& debug) {
  Thread.Start(system, debug, [this] { Run(); });
}

void TLobbySession::Run() {
  std::string reason;
  int poolSize = 0;
  if (!Open(poolSize, reason)) {
    if (!Board.Stopping()) Lose("agent " + Name + " is unreachable: " + reason);
    return;
  }
  // Opens since the last session that had a task answered: a session that
  // ends without achieving anything counts like one that could not open.
  int tries = 0;
  for (;;) {
    Board.SessionUp(Agent, poolSize);
    Serve(reason);
    Lobby.Close();
    if (Board.Stopping() || Board.LeftOut(Agent)) return;
    if (Board.SessionEnded(Agent, reason)) tries = 0;
    Board.AddWarning("agent " + Name + ": session ended: " + reason);
    for (;;) {
      if (tries >= ReconnectAttempts) {
        Lose("agent " + Name + " is lost: " + reason);
        return;
      }
      if (tries > 0 && !Board.Pause(kReopenPauseMs)) return;
      ++tries;
      if (Open(poolSize, reason)) break;
      if (Board.Stopping()) return;
    }
  }
}

void TLobbySession::Lose(const std::string& reason) {
  Guard.AgentLost(Agent);
  Board.AgentLost(Agent, reason);
}

bool TLobbySession::Open(int& poolSize, std::string& reason) {
  // Resolved here, so that a name that does not resolve says so.
  uint32_t address = 0;
  if (TStatus resolved = Resolver.ResolveIPv4(Address.Host, address); !resolved) {
    // EHOSTUNREACH is the resolver's "no such name".
    reason = "cannot resolve \"" + Address.Host + "\"";
    if (resolved.Code() != EHOSTUNREACH) reason += ": " + resolved.Reason();
    return false;
  }
  // The agent connects back from there as soon as the session starts.
  Guard.SessionOpening(Agent, address);
  const TStatus connected =
      Lobby.Open(Resolver, TTcpSocket::AddressText(address), Address.LobbyPort, "", ConnectTimeoutMs);
  if (connected.Code() == ECANCELED) {
    reason = "the grid is closing";
    return false;
  }
  if (!connected) {
    reason = connected.Code() == ETIMEDOUT ? "no answer to connect within " + std::to_string(ConnectTimeoutMs) + " ms"
                                           : "connect: " + ErrnoText(connected.Code());
    return false;
  }
  if (Board.Stopping()) {
    reason = "the grid is closing";
    Lobby.Close();
    return false;
  }
  std::string answer;
  const auto asked = std::chrono::steady_clock::now();
  if (!SocketWriteString(Lobby, "GET_POOLSIZE", ConnectTimeoutMs) ||
      !SocketReadString(Lobby, answer, ConnectTimeoutMs)) {
    // Closed at once, or silent until the time-out.
    reason = std::chrono::steady_clock::now() - asked < std::chrono::milliseconds(ConnectTimeoutMs)
                 ? "the agent closed the connection without answering GET_POOLSIZE (an agent refuses users "
                   "not in its allowed_users, and sessions beyond its max_sessions)"
                 : "no answer to GET_POOLSIZE within " + std::to_string(ConnectTimeoutMs) + " ms";
    Lobby.Close();
    return false;
  }
  const auto parsed = std::from_chars(answer.data(), answer.data() + answer.size(), poolSize);
  if (parsed.ec != std::errc() || parsed.ptr != answer.data() + answer.size() || poolSize <= 0) {
    reason = "GET_POOLSIZE answered \"" + answer.substr(0, 40) + "\"";
    Lobby.Close();
    return false;
  }
  FramesAhead = 0;
  return true;
}

void TLobbySession::Serve(std::string& reason) {
  TConnection& lobby = Lobby;
  auto lastCommand = TTaskBoard::TClock::now();
  TTaskBoard::TWork work;
  std::vector<TStreamRef> inputs;
  std::vector<TTextAndStream> blocks;
  while (Board.WaitForWork(Agent, lastCommand + std::chrono::milliseconds(KeepAliveMs), work)) {
    // The tasks handed over together leave together, each command with its
    // input, in as few writes as the pieces allow, straight from the tasks'
    // memory.
    inputs.clear();
    blocks.clear();
    for (const TTaskBoard::TMessage& task : work.Tasks)
      inputs.emplace_back(TGenericStreamRO::Create(task->Input.data(), static_cast<int32_t>(task->Input.size())));
    for (size_t i = 0; i < work.Tasks.size(); ++i) {
      blocks.push_back({work.Tasks[i]->Command, inputs[i].Get()});
      if (work.Tasks[i]->Input.size() >= kLargeFrameBytes) FramesAhead = std::min(FramesAhead + 1, kMostFramesAhead);
    }
    if (!blocks.empty() &&
        !SocketWriteStringsAndStreams(lobby, blocks.data(), blocks.size(), kExchangeMs, TFrameTime::kEachFrame)) {
      reason = "the lobby connection failed while sending a task";
      return;
    }
    if (work.KeepAlive && !KeepAlive()) {
      reason = "the agent closed the session";
      return;
    }
    lastCommand = TTaskBoard::TClock::now();
  }
  // The grid is closing, or has left the agent out: the agent ends the
  // session and drops what waits.
  (void)SocketWriteString(lobby, "DISCONNECT", 1000);
}

bool TLobbySession::KeepAlive() {
  // The answer is the agent's load summary ("GHz GHz MiB"); that it comes
  // is what counts.
  std::string summary;
  if (!SocketWriteString(Lobby, "KEEP_ALIVE", kExchangeMs) ||
      !SocketReadString(Lobby, summary, kExchangeMs * (1 + FramesAhead)))
    return false;
  FramesAhead = 0;
  return true;
}
