// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_Platform.h"

#include "Platform/T_LinuxDynamicLibraries.h"
#include "Platform/T_LinuxFileSystem.h"
#include "Platform/T_LinuxMachine.h"
#include "Platform/T_LinuxNameResolver.h"
#include "Platform/T_LinuxSystem.h"
#include "Platform/T_StderrDebugSink.h"

const TPlatform& TPlatform::Linux() {
  // Never destroyed: threads that outlive main's locals may still log.
  static TLinuxFileSystem* files = new TLinuxFileSystem;
  static TLinuxSystem* system = new TLinuxSystem;
  static TStderrDebugSink* debug = new TStderrDebugSink;
  static TLinuxMachine* machine = new TLinuxMachine;
  static TLinuxNameResolver* names = new TLinuxNameResolver;
  static TLinuxDynamicLibraries* libraries = new TLinuxDynamicLibraries;
  static const TPlatform platform{files, system, debug, names, machine, libraries};
  return platform;
}
