// TAgentPeer: a session's one connection to its user's data port. Over it
// the agent asks for files (GET_FILE) and data blocks (GET_DATA) and reports
// finished tasks (TASK_DONE with the output) and failed ones (TASK_FAILED).
// The agent always speaks first; each exchange is a request, then at most one
// reply text and one data block.
//
// Threads: created and destroyed by the session's worker thread; the
// exchanges run on pool threads. Each exchange holds the peer's lock from its
// first write to its last read, so exchanges of different threads never
// interleave on the wire. The lock is re-entrant and the peer takes no other
// lock while holding it (callers may hold theirs: file cache, data cache).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "Common/T_ClientSocket.h"
#include "Common/T_StreamRef.h"

class TAgent;

class TAgentPeer {
 public:
  // Connects to `userAddress` on [user] data_port. Never fails: without a
  // connection every later exchange fails at once, without traffic. `agent`
  // is borrowed for the peer's life.
  TAgentPeer(TAgent& agent, std::string userAddress);
  // Closes the connection; nothing is sent first.
  ~TAgentPeer();
  TAgentPeer(const TAgentPeer&) = delete;
  TAgentPeer& operator=(const TAgentPeer&) = delete;

  // GET_FILE `name` (the file cache's upper-cased key): the file's bytes, or
  // none when the user refuses or the exchange fails.
  std::optional<std::string> RequestFile(const std::string& name);

  // GET_DATA `identifier`: a new stream holding the block (its one
  // reference is the caller's), or an empty holder on failure.
  TStreamRef RequestData(const std::string& identifier);

  // TASK_DONE with the load summary of this moment and the whole output.
  bool SendTaskDone(uint32_t taskId, IGenericStream* output);

  // TASK_FAILED with `message` encoded.
  bool SendTaskFailed(uint32_t taskId, const std::string& message);

  const std::string& UserAddress() const { return Address; }
  bool Connected() const { return Socket.Active(); }

 private:
  // Constant after construction.
  TAgent& Agent;  // borrowed
  const std::string Address;

  // Serialises whole exchanges; re-entrant. Held across network waits.
  std::recursive_mutex Lock;
  TClientSocket Socket;  // used under Lock after construction
};
