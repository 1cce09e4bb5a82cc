// SPDX-License-Identifier: Apache-2.0
// Process-wide set-up done once by the process entry, before any thread or
// socket exists.
#pragma once

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so that
// no socket or file of the agent ever becomes standard error.
void EnsureStandardDescriptors();

// Ignores SIGPIPE: a write to a peer that has gone fails with an error
// instead of ending the process.
void IgnoreBrokenPipe();

// Raises the process's limit of open descriptors to the most it may have (a
// server of many connections); says what it is afterwards.
int RaiseOpenFilesLimit();

// For a process the agent started to serve one session: it is named
// "kelvra-session", the kernel's out-of-memory killer picks it before the
// agent, it ends (SIGKILL)
// when the agent's thread that started it ends, and at once when the agent
// (`agentId`) is already gone. Stop requests (SIGTERM, SIGINT, SIGHUP) are
// the agent's to act on: the session process ignores them, and the agent
// ends it in order.
void FollowTheAgent(int agentId);

// Serves allocations below `bytes` from the heap, and keeps up to
// `keepBytes` of freed heap memory instead of handing it back at once: a
// process that copies blocks of a few MiB one after another (task inputs
// and outputs) then reuses the same pages instead of mapping and faulting
// in fresh ones for every block. Process-wide; call once, early.
void KeepLargeBlocksOnTheHeap(unsigned long bytes, unsigned long keepBytes);
