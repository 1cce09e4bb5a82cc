// SPDX-License-Identifier: Apache-2.0
// TPlatform: the set of platform facilities one agent uses, handed down from
// the process entry (or a test) to every unit that needs one. It borrows the
// facilities; whoever builds it keeps them alive for the agent's life.
#pragma once

#include "Platform/I_DebugSink.h"
#include "Platform/I_DynamicLibraries.h"
#include "Platform/I_FileSystem.h"
#include "Platform/I_Machine.h"
#include "Platform/I_NameResolver.h"
#include "Platform/I_System.h"

struct TPlatform {
  IFileSystem* Files = nullptr;    // borrowed
  ISystem* System = nullptr;       // borrowed
  IDebugSink* Debug = nullptr;     // borrowed
  INameResolver* Names = nullptr;  // borrowed; resolves the hosts of client connections
  IMachine* Machine = nullptr;     // borrowed; the status thread's readings
  IDynamicLibraries* Libraries = nullptr;  // borrowed; task libraries

  // The real Linux facilities, process-wide and never destroyed.
  static const TPlatform& Linux();
};
