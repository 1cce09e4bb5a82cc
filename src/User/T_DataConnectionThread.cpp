#include "User/T_DataConnectionThread.h"

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
  std::string text;
  // Reads wait without a limit: the agent speaks when it has something,
  // and the listener's stop shuts the connection down.
  while (SocketReadString(agent, text, kInfiniteWait)) {
    const std::vector<std::string> items = SplitCommandItems(text, 3);
    if (items.empty()) continue;
    const std::string& command = items[0];
    if (command == "TASK_DONE") {
      std::string output;
      if (!SocketReadStream(agent, output, kInfiniteWait)) break;
      uint32_t id = 0;
      if (items.size() >= 2 && ParseId(items[1], id)) Board.Report(id, true, std::move(output));
    } else if (command == "TASK_FAILED") {
      uint32_t id = 0;
      if (items.size() < 2 || !ParseId(items[1], id)) continue;
      // A failed task may have ended its session: the agent closes the
      // lobby at the next command it gets.
      const size_t at = text.find(' ', text.find(' ') + 1);
      std::string message = at == std::string::npos ? std::string() : Argument(text, at);
      Board.Report(id, false, std::move(message));
      Board.ProbeSessions(50);
    } else if (command == "GET_FILE") {
      const std::string name = Argument(text, command.size());
      Answer(agent, Content.FindFile(name), "file \"" + name + "\"");
    } else if (command == "GET_DATA") {
      const std::string identifier = Argument(text, command.size());
      Answer(agent, Content.FindData(identifier), "data block \"" + identifier + "\"");
    }
  }
  // The session this connection served has ended, or its agent has gone.
  Board.ProbeSessions(0);
}

void TDataConnectionThread::Answer(TConnection& agent, const TGridContent::TBytes& bytes, const std::string& what) {
  // A write that fails shows up at the next read.
  if (!bytes) {
    Board.AddWarning("an agent asked for " + what + ", which the grid does not have");
    (void)SocketWriteString(agent, "Not found", kInfiniteWait);
    return;
  }
  TStreamRef view(TGenericStreamRO::Create(bytes->data(), static_cast<int32_t>(bytes->size())));
  (void)SocketWriteStringAndStream(agent, "Ok", view.Get(), kInfiniteWait);
}
