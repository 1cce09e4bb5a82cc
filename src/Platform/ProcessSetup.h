// Process-wide set-up done once by the process entry, before any thread or
// socket exists.
#pragma once

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so that
// no socket or file of the agent ever becomes standard error.
void EnsureStandardDescriptors();

// Ignores SIGPIPE: a write to a peer that has gone fails with an error
// instead of ending the process.
void IgnoreBrokenPipe();

// Keeps the memory of task inputs and outputs in the heap for reuse: blocks
// up to 32 MiB are not given their own mapping, and up to 32 MiB freed at
// the top of a heap is kept rather than handed back. A session that moves
// many large blocks then reuses warm memory instead of mapping, faulting in
// and zeroing fresh pages for each one.
void KeepBlockMemoryForReuse();
