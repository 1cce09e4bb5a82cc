// SPDX-License-Identifier: Apache-2.0
// TConfinement: what a session process does to itself before it loads the
// first task library, with the kernel's own facilities: no new privileges, a
// bound on its writable memory, Landlock (which files it may reach, no TCP,
// no signals or abstract sockets outside its own domain) and a seccomp filter
// (no sockets, no new programs or processes, nothing that reaches another
// process or the system). Each layer the running kernel lacks is skipped. A
// forbidden act fails with EACCES or EPERM; it never ends the process.
// Confinement cannot be undone: it holds for the process and all it starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Platform/T_Status.h"

struct TConfinementRules {
  std::vector<std::string> ReadPaths;   // read and execute beneath (files and folders)
  std::vector<std::string> WritePaths;  // everything beneath: read, write, create, remove, truncate, rename
  std::vector<std::string> DropPaths;   // beneath: list the folder, create regular files, write them, remove
                                        // files; not read file contents (a crash-report folder)
  std::vector<uint16_t> ConnectPorts;   // TCP ports a connection may still be made to (Landlock)
  bool AllowNetwork = false;            // sockets and TCP
  bool AllowExec = false;               // new programs and processes
  uint64_t MemoryLimitBytes = 0;        // writable private memory; 0: no bound
};

class TConfinement {
 public:
  // The folders every session may read and execute from (/usr, /lib, /lib32,
  // /lib64, /libx32, /bin, /sbin, /etc, /opt, /proc, /sys) and the device
  // files it may read and write (/dev/null, /dev/zero, /dev/full,
  // /dev/random, /dev/urandom, /dev/tty): those that exist.
  static std::vector<std::string> SystemPaths();

  // What the running kernel offers, one line for the log: "Landlock ABI 7
  // (files, network, signals), seccomp filter, no new privileges, memory
  // bound", or "no Landlock (kernel without it), ...". Never fails.
  static std::string Describe();

  // Half of the machine's physical memory in MiB, at least 64.
  static uint64_t DefaultMemoryLimitMiB();

  // Confines the calling process by `rules`, SystemPaths() readable besides.
  // Paths that do not exist are skipped. `applied` gets a short text of the
  // layers applied. Fails only when a layer the kernel has could not be
  // applied; the process may then be partly confined and should end.
  // Precondition: the process has one thread (Landlock covers the calling
  // thread and the threads and processes it creates later).
  static TStatus Apply(const TConfinementRules& rules, std::string& applied);

  // Apply in two steps, for a process that must still open a connection
  // after its files are confined: first no new privileges, the memory bound
  // and Landlock (one thread only, as for Apply); then, any time later, the
  // seccomp filter, which covers every thread at once. Each appends to
  // `applied`.
  static TStatus ApplyFilesAndMemory(const TConfinementRules& rules, std::string& applied);
  static TStatus ApplySystemCalls(const TConfinementRules& rules, std::string& applied);
};
