// SPDX-License-Identifier: Apache-2.0
#include "Submit/T_LocalAgent.h"

#include <netinet/in.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "Platform/T_Platform.h"
#include "Platform/T_TcpSocket.h"
#include "Platform/T_UdpSocket.h"

namespace {

constexpr int kStopGraceMs = 10000;

// `count` distinct ports free for TCP and UDP on every local address a
// moment ago (the agent's discovery listener binds all addresses). Each is
// held until all are chosen, so none is chosen twice.
TStatus PickFreePorts(size_t count, std::vector<uint16_t>& ports) {
  std::vector<TTcpSocket> held;
  for (int attempt = 0; ports.size() < count && attempt < 200; ++attempt) {
    TTcpSocket socket;
    uint16_t port = 0;
    if (!socket.Create() || !socket.Bind(INADDR_ANY, 0) || !socket.LocalPort(port))
      return TStatus::Failure("cannot choose free ports", "no TCP port could be bound");
    if (std::find(ports.begin(), ports.end(), port) != ports.end()) continue;
    TUdpSocket datagrams;
    if (!datagrams.Bind(port)) continue;
    ports.push_back(port);
    held.push_back(std::move(socket));
  }
  if (ports.size() < count) return TStatus::Failure("cannot choose free ports", "every port tried was taken");
  return {};
}

}  // namespace

TLocalAgent::~TLocalAgent() {
  if (Process.Running()) Stop();
  if (!Home.empty() && !Keep) {
    std::error_code ignored;
    std::filesystem::remove_all(Home, ignored);
  }
}

TStatus TLocalAgent::Start(const std::string& agentBinary, uint16_t dataPort) {
  if (TStatus made = MakeTemporaryFolder("kelvra-local-", Home); !made) return made;
  IFileSystem& files = *TPlatform::Linux().Files;
  for (const char* folder : {"/data", "/run"})
    if (TStatus made = files.CreateDirectory(Home + folder); !made) return made;

  std::vector<uint16_t> ports;
  if (TStatus picked = PickFreePorts(dataPort == 0 ? 5 : 4, ports); !picked) return picked;
  Lobby = ports[0];
  Data = dataPort == 0 ? ports[4] : dataPort;
  const std::string settings = "[agent]\nbind_ip=127.0.0.1\nbind_port=" + std::to_string(Lobby) +
                               "\nbroadcast_port=" + std::to_string(ports[1]) +
                               "\nsuspend_timeout=0\nenableDebugOutput=1\nallowed_users=127.0.0.1\n"
                               "[coordinator]\ncoordinator_ip=127.0.0.1\nallowDiscardCoordinatorIp=0\nbind_port=" +
                               std::to_string(ports[2]) + "\nbroadcast_port=" + std::to_string(ports[3]) +
                               "\n[user]\ndata_port=" + std::to_string(Data) + "\n";
  const std::string settingsPath = Home + "/kelvra.INI";
  if (TStatus written = files.WriteFile(settingsPath, settings); !written) return written;
  return Process.Start({agentBinary, "--headless", "--config", settingsPath},
                       {"XDG_DATA_HOME=" + Home + "/data", "XDG_RUNTIME_DIR=" + Home + "/run", "DISPLAY",
                        "WAYLAND_DISPLAY"},
                       LogPath());
}

int TLocalAgent::Stop() { return Process.Stop(kStopGraceMs); }

std::string TLocalAgent::FindBinary(const std::string& chosen, const std::string& ownExecutable) {
  if (!chosen.empty()) return chosen;
  if (!ownExecutable.empty()) {
    const std::string beside = (std::filesystem::path(ownExecutable).parent_path() / "kelvra-agent").string();
    if (TPlatform::Linux().Files->Exists(beside)) return beside;
  }
  return FindOnSearchPath("kelvra-agent");
}
