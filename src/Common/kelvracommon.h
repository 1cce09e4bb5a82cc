// SPDX-License-Identifier: Apache-2.0
// Small shared operations that hold no state and run on any thread: thread
// naming, creating the folders of a file path, counting processors, the
// agent's assertion failures and the streams' single-holder check.
// `kelvracommon` is the system's own name of this unit, outside the file-naming
// scheme: assertion texts cite "Common/kelvracommon" as a fixed identifier.
#pragma once

#include <stdexcept>
#include <string>

#include "I_GenericStream.h"
#include "Platform/I_FileSystem.h"
#include "Platform/I_System.h"
#include "Platform/T_Status.h"

// Names the calling thread for debuggers ("Pool thread", "Status thread",
// ...). Only for threads the agent creates: on Linux the main thread's name
// is the process's. A name longer than the system keeps is shortened.
void NameCurrentThread(ISystem& system, const std::string& name);

// Creates every missing directory of `path`, cutting it at each run of
// separators; the part after the last separator is a file name and is never
// created, so a path ending in "/" creates all of its directories.
// Failures are not reported: the walk goes on, and a missing directory shows
// up when the caller fails to create its file.
void CreateDirectoriesForFile(IFileSystem& files, const std::string& path);

// The processors this process may use, at least 1 and at most 10.
int CountProcessors(ISystem& system);

// The text of the agent's assertion failure for a broken internal invariant:
// "Assertion failure (Common/T_GenericStreamRO, line 150)". The unit and line
// are the system's fixed identifiers of that check, not source positions.
std::string AssertionText(const char* unit, int line);
// That assertion failure as a status (the text its reason, no context), for
// a check whose caller goes on and reports it.
TStatus AssertionFailure(const char* unit, int line);
// Raises that assertion failure (std::logic_error).
[[noreturn]] void RaiseAssertionFailure(const char* unit, int line);

// True when the caller's reference is the stream's only one; false when
// there is no stream.
bool IsSoleHolder(IGenericStream* stream);

// The single-holder check of a stream handed between threads: adds a
// reference and releases it, and requires the release to answer 1 (the
// caller holds the only reference). Otherwise, or when there is no stream,
// answers the assertion failure of the caller's `unit` and `line`.
TStatus CheckSingleHolder(IGenericStream* stream, const char* unit, int line);
// The same check, raising that assertion failure.
void RequireSingleHolder(IGenericStream* stream, const char* unit, int line);
