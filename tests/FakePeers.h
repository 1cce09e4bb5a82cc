// SPDX-License-Identifier: Apache-2.0
// Fake peers of the agent for tests, on 127.0.0.1 only, written with plain
// sockets so that they share no code with what they test: a framed TCP
// server that collects the text blocks it receives (a fake coordinator, a
// fake user's data port) and a framed client (a fake user's lobby
// connection).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fake {

// A listening TCP socket on 127.0.0.1 with a kernel-chosen port (or `port`).
inline int Listen(uint16_t port, uint16_t& bound) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
    ::close(fd);
    return -1;
  }
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  bound = ntohs(address.sin_port);
  return fd;
}

// Reads exactly `size` bytes within `timeoutMs`; false on close or time-out.
inline bool ReadExact(int fd, void* buffer, size_t size, int timeoutMs) {
  auto* next = static_cast<char*>(buffer);
  while (size > 0) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, timeoutMs) <= 0) return false;
    ssize_t got = ::recv(fd, next, size, 0);
    if (got <= 0) return false;
    next += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

inline bool ReadFrame(int fd, std::string& payload, int timeoutMs) {
  uint8_t header[4];
  if (!ReadExact(fd, header, 4, timeoutMs)) return false;
  uint32_t length = header[0] | header[1] << 8 | header[2] << 16 | uint32_t{header[3]} << 24;
  payload.resize(length);
  return ReadExact(fd, payload.data(), length, timeoutMs);
}

inline bool WriteAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

inline std::string Frame(const std::string& payload) {
  auto n = static_cast<uint32_t>(payload.size());
  std::string frame{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                    static_cast<char>(n >> 24)};
  return frame + payload;
}

// A TCP server that accepts connections one after another and records every
// text block it receives, with the time it arrived.
class TFramedServer {
 public:
  struct TReceived {
    std::string Text;
    std::chrono::steady_clock::time_point At;
  };

  TFramedServer() : ListenFd(Listen(0, BoundPort)), Thread([this] { Run(); }) {}
  ~TFramedServer() {
    Stopping = true;
    ::shutdown(ListenFd, SHUT_RDWR);
    {
      std::lock_guard<std::mutex> guard(Mutex);
      if (ClientFd >= 0) ::shutdown(ClientFd, SHUT_RDWR);
    }
    Thread.join();
    ::close(ListenFd);
  }
  TFramedServer(const TFramedServer&) = delete;
  TFramedServer& operator=(const TFramedServer&) = delete;

  uint16_t Port() const { return BoundPort; }

  // Waits until `count` texts have arrived, at most `timeoutMs`.
  std::vector<TReceived> WaitFor(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(Mutex);
    Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return Texts.size() >= count; });
    return Texts;
  }
  int Connections() {
    std::lock_guard<std::mutex> guard(Mutex);
    return Accepted;
  }
  // The address each connection came from, in order of acceptance.
  std::vector<std::string> PeerAddresses() {
    std::lock_guard<std::mutex> guard(Mutex);
    return Peers;
  }
  // Closes the current connection from this side.
  void DropConnection() {
    std::lock_guard<std::mutex> guard(Mutex);
    if (ClientFd >= 0) ::shutdown(ClientFd, SHUT_RDWR);
  }
  // Stops accepting: the listening socket closes, so connecting is refused.
  void StopListening() { ::shutdown(ListenFd, SHUT_RDWR); }

 private:
  void Run() {
    while (!Stopping) {
      sockaddr_in peer{};
      socklen_t peerLength = sizeof peer;
      int fd = ::accept4(ListenFd, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
      if (fd < 0) return;
      {
        std::lock_guard<std::mutex> guard(Mutex);
        ClientFd = fd;
        ++Accepted;
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        Peers.emplace_back(text);
      }
      Changed.notify_all();
      std::string text;
      while (!Stopping && ReadFrame(fd, text, 60000)) {
        {
          std::lock_guard<std::mutex> guard(Mutex);
          Texts.push_back({text, std::chrono::steady_clock::now()});
        }
        Changed.notify_all();
      }
      std::lock_guard<std::mutex> guard(Mutex);
      ::close(fd);
      ClientFd = -1;
    }
  }

  uint16_t BoundPort = 0;
  int ListenFd;
  std::atomic<bool> Stopping{false};
  std::mutex Mutex;
  std::condition_variable Changed;
  std::vector<TReceived> Texts;
  std::vector<std::string> Peers;
  int ClientFd = -1;
  int Accepted = 0;
  std::thread Thread;
};

// A user's data port: answers GET_FILE and GET_DATA from its tables, takes
// TASK_DONE (with its data block) and TASK_FAILED, and records every
// request in order. Keys are the arguments exactly as they travel on the
// wire (encoded). Serves one connection after another.
class TFakeUser {
 public:
  struct TAnswer {
    std::string Reply = "Ok";  // anything but "Ok" refuses, and no block follows
    std::string Content;
  };
  struct TRequest {
    std::string Text;   // the request's text block
    std::string Block;  // TASK_DONE's data block
  };

  std::atomic<int> ReplyDelayMs{0};

  TFakeUser() : ListenFd(Listen(0, BoundPort)), Thread([this] { Run(); }) {}
  ~TFakeUser() {
    {
      std::lock_guard<std::mutex> guard(Mutex);
      Stopping = true;
    }
    Changed.notify_all();  // ends the stalls
    ::shutdown(ListenFd, SHUT_RDWR);
    Thread.join();
    std::vector<std::thread> sessions;
    {
      std::lock_guard<std::mutex> guard(Mutex);
      for (int fd : ClientFds) ::shutdown(fd, SHUT_RDWR);
      sessions.swap(Sessions);
    }
    for (std::thread& session : sessions) session.join();
    for (int fd : ClientFds) ::close(fd);
    ::close(ListenFd);
  }
  TFakeUser(const TFakeUser&) = delete;
  TFakeUser& operator=(const TFakeUser&) = delete;

  uint16_t Port() const { return BoundPort; }

  // What GET_FILE / GET_DATA with this (encoded) argument is answered.
  void SetFile(const std::string& key, TAnswer answer) {
    std::lock_guard<std::mutex> guard(Mutex);
    Files[key] = std::move(answer);
  }
  void SetData(const std::string& key, TAnswer answer) {
    std::lock_guard<std::mutex> guard(Mutex);
    Data[key] = std::move(answer);
  }
  void AddFile(const std::string& key, const std::string& content) { SetFile(key, TAnswer{"Ok", content}); }
  void AddData(const std::string& key, const std::string& content) { SetData(key, TAnswer{"Ok", content}); }
  // A request whose text begins with `prefix` is recorded, and then its
  // connection stalls until the fake user ends: a GET_FILE or GET_DATA is
  // answered "Ok" and half of its data block, a TASK_DONE's data block is
  // never read.
  void StallAt(const std::string& prefix) {
    std::lock_guard<std::mutex> guard(Mutex);
    StallPrefixes.push_back(prefix);
  }
  // The three ways a user stalls, for tests of sessions that end meanwhile:
  // GET_FILE of libstall.so (whose bytes are `library`) and GET_DATA of
  // "stalled" are answered half-way, the TASK_DONE of task 3 is never read.
  void StallThreeWays(const std::string& library) {
    AddFile("LIBSTALL.SO", library);
    StallAt("GET_FILE LIBSTALL.SO");
    AddData("stalled", std::string(100000, 'd'));
    StallAt("GET_DATA stalled");
    StallAt("TASK_DONE 3 ");
  }
  // True once all three stalls have begun.
  bool StalledThreeWays() {
    std::lock_guard<std::mutex> guard(Mutex);
    int begun = 0;
    for (const char* prefix : {"GET_FILE LIBSTALL.SO", "GET_DATA stalled", "TASK_DONE 3 "})
      for (const TRequest& request : Requests)
        if (request.Text.rfind(prefix, 0) == 0) {
          ++begun;
          break;
        }
    return begun == 3;
  }
  // Ends the stalls in progress by closing their connections (so that a
  // test against an agent that would wait for ever ends).
  void ReleaseStalls() {
    {
      std::lock_guard<std::mutex> guard(Mutex);
      ++StallReleases;
    }
    Changed.notify_all();
  }

  // Waits until `count` requests have arrived, at most `timeoutMs`.
  std::vector<TRequest> WaitFor(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(Mutex);
    Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return Requests.size() >= count; });
    return Requests;
  }
  std::vector<TRequest> Taken() { return WaitFor(0, 0); }
  // Waits until `count` requests have arrived, without copying them.
  bool WaitForCount(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(Mutex);
    return Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return Requests.size() >= count; });
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(Mutex);
    return Requests.size();
  }
  int Connections() {
    std::lock_guard<std::mutex> guard(Mutex);
    return Accepted;
  }
  // True when a request was not a whole frame of a known command.
  bool Garbled() const { return Broken; }

 private:
  void Record(TRequest request) {
    {
      std::lock_guard<std::mutex> guard(Mutex);
      Requests.push_back(std::move(request));
    }
    Changed.notify_all();
  }

  bool StallsAt(const std::string& text) {
    std::lock_guard<std::mutex> guard(Mutex);
    for (const std::string& prefix : StallPrefixes)
      if (text.rfind(prefix, 0) == 0) return true;
    return false;
  }
  // Holds the connection open and silent until the fake user ends or
  // releases its stalls.
  void Stall(int fd) {
    std::unique_lock<std::mutex> lock(Mutex);
    const int releases = StallReleases;
    Changed.wait(lock, [&] { return Stopping.load() || StallReleases != releases; });
    ::shutdown(fd, SHUT_RDWR);
  }

  bool Answer(int fd, const std::map<std::string, TAnswer>& table, const std::string& key, bool stall) {
    if (ReplyDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ReplyDelayMs.load()));
    TAnswer answer{"Not found", ""};
    {
      std::lock_guard<std::mutex> guard(Mutex);
      auto found = table.find(key);
      if (found != table.end()) answer = found->second;
    }
    if (answer.Reply != "Ok") return WriteAll(fd, Frame(answer.Reply));
    std::string bytes = Frame("Ok") + Frame(answer.Content);
    if (!stall) return WriteAll(fd, bytes);
    WriteAll(fd, bytes.substr(0, bytes.size() - answer.Content.size() / 2 - 1));
    Stall(fd);
    return false;
  }

  void Serve(int fd) {
    std::string text;
    while (!Stopping && ReadFrame(fd, text, 60000)) {
      const bool stall = StallsAt(text);
      if (text.rfind("GET_FILE ", 0) == 0) {
        Record({text, ""});
        if (!Answer(fd, Files, text.substr(9), stall)) return;
      } else if (text.rfind("GET_DATA ", 0) == 0) {
        Record({text, ""});
        if (!Answer(fd, Data, text.substr(9), stall)) return;
      } else if (text.rfind("TASK_DONE ", 0) == 0) {
        if (stall) {
          Record({text, ""});
          return Stall(fd);
        }
        std::string block;
        if (!ReadFrame(fd, block, 60000)) Broken = true;
        Record({text, block});
      } else if (text.rfind("TASK_FAILED ", 0) == 0) {
        Record({text, ""});
      } else {
        Broken = true;
        Record({text, ""});
      }
    }
  }

  // Each connection (one per agent session) is served on its own thread.
  void Run() {
    while (!Stopping) {
      int fd = ::accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      std::lock_guard<std::mutex> guard(Mutex);
      ClientFds.push_back(fd);
      ++Accepted;
      Sessions.emplace_back([this, fd] { Serve(fd); });
    }
  }

  uint16_t BoundPort = 0;
  int ListenFd;
  std::atomic<bool> Stopping{false};
  std::atomic<bool> Broken{false};
  std::mutex Mutex;
  std::condition_variable Changed;
  std::map<std::string, TAnswer> Files;  // by GET_FILE argument, under Mutex
  std::map<std::string, TAnswer> Data;   // by GET_DATA argument, under Mutex
  std::vector<std::string> StallPrefixes;  // under Mutex
  int StallReleases = 0;                   // under Mutex
  std::vector<TRequest> Requests;
  std::vector<int> ClientFds;  // closed when the fake user goes
  std::vector<std::thread> Sessions;
  int Accepted = 0;
  std::thread Thread;
};

// Sends the one-byte datagram `byte` to 127.0.0.1:`port` from the loopback
// address `source` (host byte order, e.g. 0x7F000005), as an agent there
// would; whether it went.
inline bool SendDatagramFrom(uint32_t source, uint16_t port, char byte) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(source);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool sent = ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                    ::sendto(fd, &byte, 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == 1;
  ::close(fd);
  return sent;
}

// A port that is free on 127.0.0.1 (for an agent's lobby or a data port),
// and that no other test process running now has been handed: test
// processes run side by side, and one that listens later on the port it
// chose must not meet another's agents there. Each port handed out is
// claimed by a lock on a file named after it, held until this process ends.
// Ports come from just below the kernel's ephemeral range, which no
// outgoing connection takes as its own end and no bind to port 0 hands
// out: between the choice and the agent's bind, nothing but another claim
// could take them.
inline uint16_t FreePort() {
  static const std::string folder = "/tmp/kelvra-test-ports";
  ::mkdir(folder.c_str(), 01777);
  int low = 32768;
  if (FILE* range = ::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    if (::fscanf(range, "%d", &low) != 1) low = 32768;
    ::fclose(range);
  }
  const int first = std::max(low - 12000, 10000), span = low - first;
  if (span < 1000) {  // no room below the ephemeral range: any free port
    uint16_t port = 0;
    ::close(Listen(0, port));
    return port;
  }
  const int start = static_cast<int>((static_cast<unsigned>(::getpid()) * 7919u +
                                      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())) %
                                     static_cast<unsigned>(span));
  for (int tried = 0; tried < span; ++tried) {
    const auto port = static_cast<uint16_t>(first + (start + tried) % span);
    const std::string claim = folder + "/" + std::to_string(port);
    const int held = ::open(claim.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0666);
    if (held >= 0 && ::flock(held, LOCK_EX | LOCK_NB) != 0) {
      ::close(held);  // another test process has it
      continue;
    }
    uint16_t bound = 0;
    const int fd = Listen(port, bound);
    if (fd >= 0) {
      ::close(fd);
      return port;  // the claim stays open as long as this process
    }
    if (held >= 0) ::close(held);
  }
  return 0;
}

// Whether something listens on TCP `address`:`port` (or on every address
// at that port), seen in the kernel's socket table rather than by
// connecting: an agent treats any connection as a session and connects
// back to its data port, where a grid started later would meet it.
inline bool Listening(const std::string& address, uint16_t port) {
  in_addr wanted{};
  if (::inet_pton(AF_INET, address.c_str(), &wanted) != 1) return false;
  FILE* table = ::fopen("/proc/net/tcp", "r");
  if (table == nullptr) return false;
  char line[512];
  bool found = false;
  if (::fgets(line, sizeof line, table) != nullptr) {  // the heading
    while (!found && ::fgets(line, sizeof line, table) != nullptr) {
      unsigned local = 0, localPort = 0, state = 0;
      if (::sscanf(line, " %*u: %8X:%4X %*8X:%*4X %2X", &local, &localPort, &state) != 3) continue;
      // The table writes the address as the host reads the network-order word.
      found = state == 0x0A && localPort == port && (local == wanted.s_addr || local == 0);
    }
  }
  ::fclose(table);
  return found;
}

// A port that never answers a connect: a listener with a backlog of 0 whose
// one queue place is taken by a connection of its own, and which never
// accepts. On loopback the kernel drops the SYNs of further connects, so
// they wait (about 127 s of retries unless the caller gives up).
class TUnansweredListener {
 public:
  TUnansweredListener() {
    ListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(ListenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(ListenFd, 0) != 0 ||
        ::getsockname(ListenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return;
    BoundPort = ntohs(address.sin_port);
    QueuedFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Filled = ::connect(QueuedFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~TUnansweredListener() {
    ::close(QueuedFd);
    ::close(ListenFd);
  }
  TUnansweredListener(const TUnansweredListener&) = delete;
  TUnansweredListener& operator=(const TUnansweredListener&) = delete;

  // 0 when the listener could not be made or its queue filled.
  uint16_t Port() const { return Filled ? BoundPort : 0; }

 private:
  int ListenFd = -1;
  int QueuedFd = -1;
  uint16_t BoundPort = 0;
  bool Filled = false;
};

// A user's lobby connection: sends commands and data blocks, reads replies.
class TLobbyClient {
 public:
  // `source`, when given, is the loopback address the connection leaves from.
  TLobbyClient(const std::string& address, uint16_t port, const std::string& source = "") {
    Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!source.empty()) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
      if (::bind(Fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &target.sin_addr);
    Connected = ::connect(Fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0;
  }
  ~TLobbyClient() { ::close(Fd); }
  TLobbyClient(const TLobbyClient&) = delete;
  TLobbyClient& operator=(const TLobbyClient&) = delete;

  bool Send(const std::string& text) { return WriteAll(Fd, Frame(text)); }
  // Bytes as they are: part of a frame, or anything else.
  bool SendRaw(const std::string& bytes) { return WriteAll(Fd, bytes); }
  bool RunTask(const std::string& command, const std::string& input) {
    return WriteAll(Fd, Frame(command) + Frame(input));
  }
  // One reply text, or "<none>" when none came within `timeoutMs`.
  std::string Reply(int timeoutMs = 10000) {
    std::string text;
    return ReadFrame(Fd, text, timeoutMs) ? text : "<none>";
  }
  // True once the agent has closed the connection (within `timeoutMs`).
  bool ClosedByAgent(int timeoutMs) {
    pollfd ready{Fd, POLLIN, 0};
    if (::poll(&ready, 1, timeoutMs) <= 0) return false;
    char byte;
    return ::recv(Fd, &byte, 1, MSG_PEEK) <= 0;
  }

  // The socket, for a test that moves bytes itself.
  int Descriptor() const { return Fd; }

  bool Connected = false;

 private:
  int Fd = -1;
};

}  // namespace fake
