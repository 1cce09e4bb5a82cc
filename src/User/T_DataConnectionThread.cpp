// SPDX-License-Identifier: Apache-2.0
#include "User/T_DataConnectionThread.h"

#include <cerrno>
#include <charconv>

#include "Common/CommandText.h"
#include "Common/T_GenericStreamRO.h"
#include "Common/T_StreamRef.h"
#include "Common/WireFraming.h"
#include "Platform/TimeLimit.h"

namespace {

// The agent's id of a task: a decimal unsigned 32-bit number.
bool ParseId(const std::string& text, uint32_t& id) {
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), id);
  return parsed.ec == std::errc() && parsed.ptr == text.data() + text.size();
}

// A text's argument after the command word and one blank, decoded; the
// raw text when it is not validly encoded.
std::string Argument(const std::string& text, size_t commandLength) {
  const std::string raw = text.size() > commandLength + 1 ? text.substr(commandLength + 1) : std::string();
  std::string decoded;
  return DecodeArgument(raw, decoded).Ok() ? decoded : raw;
}

}  // namespace

void TDataConnectionThread::Serve(TConnection& agent) {
  From = agent.PeerAddress();
  (void)TTcpSocket::ParseAddress(From, Address);
  std::string text;
  while (NextRequest(agent, text)) {
    const std::vector<std::string> items = SplitCommandItems(text, 3);
    if (items.empty()) continue;
    const std::string& command = items[0];
    const std::string id = items.size() >= 2 ? items[1] : std::string();
    bool goOn = true;
    if (command == "TASK_DONE") {
      goOn = TakeReport(agent, command, id, "");
    } else if (command == "TASK_FAILED") {
      const size_t at = text.find(' ', text.find(' ') + 1);
      goOn = TakeReport(agent, command, id, at == std::string::npos ? std::string() : Argument(text, at));
    } else if (command == "GET_FILE") {
      const std::string name = Argument(text, command.size());
      goOn = Answer(agent, Content.FindFile(name), "file \"" + name + "\"");
    } else if (command == "GET_DATA") {
      const std::string identifier = Argument(text, command.size());
      goOn = Answer(agent, Content.FindData(identifier), "data block \"" + identifier + "\"");
    } else {
      Guard.Refused("ignored a request from " + From + " that is none of GET_FILE, GET_DATA, TASK_DONE, TASK_FAILED");
    }
    if (!goOn) break;
  }
  // The session this connection served has ended, or its agent has gone.
  Board.ProbeSessions(0);
}

bool TDataConnectionThread::NextRequest(TConnection& agent, std::string& text) {
  for (;;) {
    const TStatus ready = agent.WaitForBytes(TDeadline(kIdleCheckMs));
    if (ready) break;
    if (ready.Code() != ETIMEDOUT || !Guard.Serves(Address)) return false;
  }
  int32_t announced = 0;
  const TStatus read = SocketReadString(agent, text, kFrameMs, kMostRequestBytes, &announced);
  if (!read) FrameFailed(read, announced);
  return read.Ok();
}

bool TDataConnectionThread::TakeReport(TConnection& agent, const std::string& command, const std::string& idText,
                                       std::string failure) {
  const bool done = command == "TASK_DONE";
  uint32_t id = 0;
  const bool named = ParseId(idText, id);
  if (named && Guard.TakesReport(Address, id)) {
    std::string output;
    if (done) {
      if (TStatus read = SocketReadPacedStream(agent, output, kFrameMs); !read) {
        FrameFailed(read);
        return false;
      }
    }
    Board.Report(id, done, done ? std::move(output) : std::move(failure));
    // A failed task may have ended its session: the agent closes the lobby
    // at the next command it gets.
    if (!done) Board.ProbeSessions(50);
    return true;
  }
  if (done) {
    if (TStatus read = SocketDropPacedStream(agent, kFrameMs); !read) {
      FrameFailed(read);
      return false;
    }
  }
  // A report of a task answered already (or never sent) changes nothing;
  // one of a task that still waits would have been its result.
  if (!named)
    Guard.Refused("dropped " + command + " from " + From + ": it names no task");
  else if (Board.Waiting(id))
    Guard.Refused("dropped " + command + " for task " + std::to_string(id) + " from " + From +
                  ": that task is not in flight on a session of an agent at that address");
  return true;
}

void TDataConnectionThread::FrameFailed(const TStatus& read, int32_t announced) {
  if (read.Code() == EMSGSIZE)
    Guard.Refused("closed the connection from " + From + ": a request of " + std::to_string(announced) +
                  " bytes (the most is " + std::to_string(kMostRequestBytes) + ")");
  else if (read.Code() == ETIMEDOUT)
    Guard.Refused("closed the connection from " + From + ": a frame begun was not finished in time");
}

bool TDataConnectionThread::Answer(TConnection& agent, const TGridContent::TBytes& bytes, const std::string& what) {
  if (!bytes) {
    Board.AddWarning("an agent asked for " + what + ", which the grid does not have");
    return SocketWriteString(agent, "Not found", kFrameMs).Ok();
  }
  TStreamRef view(TGenericStreamRO::Create(bytes->data(), static_cast<int32_t>(bytes->size())));
  return SocketWriteStringAndStream(agent, "Ok", view.Get(), PacedTimeoutMs(bytes->size(), kFrameMs)).Ok();
}
