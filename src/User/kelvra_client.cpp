// SPDX-License-Identifier: Apache-2.0
// TGrid and TAgentAddress: the public face of the client library, on the
// board (tasks and results), the sessions (one per agent) and the data
// port's server.
#include "kelvra/kelvra_client.h"

#include "Common/CommandText.h"
#include "Common/HostPort.h"
#include "Common/T_Listener.h"
#include "Platform/T_Platform.h"
#include "User/CompressedBlock.h"
#include "User/ServedFiles.h"
#include "User/T_DataConnectionThread.h"
#include "User/T_DataPortGuard.h"
#include "User/T_GridContent.h"
#include "User/T_LobbySession.h"
#include "User/T_TaskBoard.h"

namespace kelvra {

namespace {

// How long the grid's end waits for the sessions to say DISCONNECT before
// it cuts their connections.
constexpr int kDisconnectWaitMs = 2000;

std::string ReadWholeFile(const std::string& path) {
  std::string content;
  if (TStatus status = TPlatform::Linux().Files->ReadFile(path, content); !status) throw EGridError(status.Text());
  return content;
}

// A name that travels as one item of a command: the agent splits at
// blanks, control bytes, commas and quotation marks.
bool PlainItem(const std::string& text) {
  if (text.empty()) return false;
  for (unsigned char c : text)
    if (c <= 32 || c == ',' || c == '"') return false;
  return true;
}

}  // namespace

TAgentAddress TAgentAddress::Parse(const std::string& text) {
  THostPort parsed;
  if (TStatus read = ParseHostPort(text, kDefaultLobbyPort, parsed); !read)
    throw EGridError("agent address \"" + text + "\" " + read.Reason());
  return TAgentAddress{parsed.Host, parsed.Port};
}

std::string TAgentAddress::Text() const { return Host + ":" + std::to_string(LobbyPort); }

class TGrid::TImpl {
 public:
  explicit TImpl(TGridOptions options);
  ~TImpl();

  uint64_t Submit(const std::vector<std::string>& libraryFiles, const std::string& procedure, std::string input,
                  bool compress, TTaskBoard::THandler handler);

  // Constant after construction.
  const TGridOptions Options;
  const TPlatform& Platform;

  TGridContent Content;
  TTaskBoard Board;
  TDataPortGuard Guard;
  TListener DataServer;
  std::vector<std::unique_ptr<TLobbySession>> Sessions;
};

namespace {

std::vector<std::string> AgentNames(const TGridOptions& options) {
  std::vector<std::string> names;
  for (const TAgentAddress& agent : options.Agents) names.push_back(agent.Text());
  return names;
}

}  // namespace

TGrid::TImpl::TImpl(TGridOptions options)
    : Options(std::move(options)),
      Platform(TPlatform::Linux()),
      Board(AgentNames(Options), Options.TasksPerPoolThread, Options.MaxAttempts, Options.SpeculateAfterSeconds),
      Guard(Board, Options.Agents.size()),
      DataServer(*Platform.System, *Platform.Debug, "Grid data") {
  // The data port serves the grid's agents only.
  TStatus listening = DataServer.Start(
      Options.DataBindAddress, Options.DataPort,
      [this](uint32_t address, int) { return Guard.Admit(address, DataServer.ConnectionCountFrom(address)); },
      [this](TConnection& agent) { TDataConnectionThread(Content, Board, Guard).Serve(agent); });
  if (!listening)
    throw EGridError("data port " + std::to_string(Options.DataPort) + " is taken: " + listening.Text());
  for (size_t agent = 0; agent < Options.Agents.size(); ++agent) {
    Sessions.push_back(
        std::make_unique<TLobbySession>(Board, Guard, agent, Options.Agents[agent], Options, *Platform.Names));
  }
  try {
    for (auto& session : Sessions) session->Start(*Platform.System, *Platform.Debug);
  } catch (...) {
    Board.Stop();
    for (auto& session : Sessions) session->Interrupt();
    throw;
  }
  Board.WaitStarted();
}

TGrid::TImpl::~TImpl() {
  Board.Stop();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDisconnectWaitMs);
  for (auto& session : Sessions) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (!session->Join(static_cast<int>(std::max<int64_t>(left.count(), 0)))) {
      session->Interrupt();
      session->Join(kInfiniteWait);
    }
  }
  DataServer.Stop();
}

uint64_t TGrid::TImpl::Submit(const std::vector<std::string>& libraryFiles, const std::string& procedure,
                              std::string input, bool compress, TTaskBoard::THandler handler) {
  if (libraryFiles.empty()) throw EGridError("a task needs a library file");
  std::string files;
  for (const std::string& name : libraryFiles) {
    if (!PlainItem(name)) throw EGridError("file name \"" + name + "\" is empty or has a blank, comma or quote");
    if (!Content.FindFile(name)) throw EGridError("file \"" + name + "\" is not served: add it with AddFile first");
    if (!files.empty()) files += ',';
    files += name;
  }
  if (!PlainItem(procedure))
    throw EGridError("procedure name \"" + procedure + "\" is empty or has a blank, comma or quote");
  if (compress) input = CompressBlock(input);
  if (input.size() > static_cast<size_t>(INT32_MAX) - 4) throw EGridError("task input too large (2 GiB at most)");
  const std::string tail = " " + EncodeArgument(files) + " " + procedure;
  return Board.Add([&](uint32_t id) { return "RUN_TASK " + std::to_string(id) + tail; }, std::move(input),
                   std::move(handler));
}

TGrid::TGrid(TGridOptions options) {
  if (options.Agents.empty()) throw EGridError("no agent given");
  Impl = std::make_unique<TImpl>(std::move(options));
  std::string why;
  if (Impl->Board.NoAgentLeft(why)) {
    Impl.reset();
    throw EGridError("no agent reachable: " + why);
  }
}

TGrid::~TGrid() = default;

void TGrid::AddFile(const std::string& name, std::string content) {
  if (name.empty()) throw EGridError("a file needs a name");
  Impl->Content.AddFile(name, std::move(content));
}

void TGrid::AddFileFromPath(const std::string& path) {
  std::vector<TServedFile> served;
  if (TStatus read = ReadServedFiles(*TPlatform::Linux().Files, path, served); !read)
    throw EGridError("cannot read " + read.Context() + ": " + read.Reason());
  for (TServedFile& file : served) AddFile(file.Name, std::move(file.Content));
}

void TGrid::AddData(const std::string& identifier, std::string content, bool compress) {
  Impl->Content.AddData(identifier, std::move(content), compress);
}

void TGrid::AddDataFromPath(const std::string& identifier, const std::string& path, bool compress) {
  AddData(identifier, ReadWholeFile(path), compress);
}

void TGrid::OnResult(std::function<void(const TTaskResult&)> callback) {
  Impl->Board.SetDefaultHandler(
      std::make_shared<const std::function<void(const TTaskResult&)>>(std::move(callback)));
}

uint64_t TGrid::Submit(const std::vector<std::string>& libraryFiles, const std::string& procedure, std::string input,
                       bool compress) {
  return Impl->Submit(libraryFiles, procedure, std::move(input), compress, nullptr);
}

std::future<TTaskResult> TGrid::SubmitAsync(const std::vector<std::string>& libraryFiles,
                                            const std::string& procedure, std::string input, bool compress) {
  auto promise = std::make_shared<std::promise<TTaskResult>>();
  std::future<TTaskResult> future = promise->get_future();
  Submit(libraryFiles, procedure, std::move(input), compress,
         [promise](TTaskResult&& result) { promise->set_value(std::move(result)); });
  return future;
}

uint64_t TGrid::Submit(const std::vector<std::string>& libraryFiles, const std::string& procedure, std::string input,
                       bool compress, std::function<void(TTaskResult&&)> onResult) {
  return Impl->Submit(libraryFiles, procedure, std::move(input), compress,
                      std::make_shared<const std::function<void(TTaskResult&&)>>(std::move(onResult)));
}

bool TGrid::WaitForRoom(uint64_t maxUnanswered, int timeoutMs) {
  return Impl->Board.WaitForRoom(maxUnanswered, timeoutMs);
}

uint64_t TGrid::SubmitAll(const std::vector<std::string>& libraryFiles, const std::string& procedure,
                          const std::function<bool(std::string& input)>& next, uint64_t maxUnanswered,
                          bool compress) {
  uint64_t submitted = 0;
  while (WaitForRoom(maxUnanswered)) {
    std::string input;
    if (!next(input)) break;
    try {
      Submit(libraryFiles, procedure, std::move(input), compress);
    } catch (const EGridError&) {
      // The last agent was lost after the wait.
      std::string why;
      if (Impl->Board.NoAgentLeft(why)) break;
      throw;
    }
    ++submitted;
  }
  return submitted;
}

bool TGrid::WaitAll(int timeoutMs) { return Impl->Board.WaitAll(timeoutMs); }

TGridProgress TGrid::Progress() const { return Impl->Board.Progress(); }

std::vector<TAgentSummary> TGrid::AgentSummaries() const { return Impl->Board.AgentSummaries(); }

std::vector<std::string> TGrid::Warnings() const { return Impl->Board.Warnings(); }

}  // namespace kelvra
