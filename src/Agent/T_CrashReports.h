// SPDX-License-Identifier: Apache-2.0
// TCrashReports: a small text file for each fault of task code, so that the
// task's author can see where it faulted after the session has gone. The
// files lie in the user's state folder, kelvra/crashes below it
// ($XDG_STATE_HOME, else ~/.local/state); the kKept most recent stay, older
// ones are deleted as new ones come. Stateless: any thread may write a
// report at any time (file names never collide: time, task and a sequence
// number of the process).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "Platform/T_Platform.h"
#include "Platform/T_Status.h"
#include "Platform/T_TaskGuard.h"

class TAgentContext;

// What a report tells of one fault.
struct TCrashFacts {
  std::string UserAddress;
  uint32_t TaskId = 0;  // 0 for EndSession
  std::string Procedure;
  std::string LibraryPath;  // the file of the loaded task library; its base name is the library's name
  std::string LibrarySha256;
  std::string FaultText;    // as the user was told
  TTaskGuard::TFaultRecord Fault;
};

class TCrashReports {
 public:
  static constexpr size_t kKept = 50;

  // The folder of the reports: "<state home>/kelvra/crashes"; empty when
  // the user has no state home.
  static std::string Folder(const TPlatform& platform);
  // Makes Folder() when missing (mode 0700, no link followed).
  static TStatus MakeFolder(const TPlatform& platform);

  // Writes the report of `facts` (made at `now`) into Folder(), making the
  // folders missing, then deletes the oldest reports beyond kKept. Sets
  // `path` to the new file's path. Reads the library's file for its SHA-256
  // when `facts` has none.
  static TStatus Write(const TPlatform& platform, TCrashFacts facts, std::time_t now, std::string& path);

  // After a fault of the task code at `procedure` (an address in its
  // library, whose file the report names): writes the report of `facts`
  // now and logs "<subject>: <path>", or "<subject> not written: <reason>"
  // ("POOLTHREAD: crash report of task 2").
  static void WriteAndLog(const TAgentContext& context, TCrashFacts facts, const void* procedure,
                          const std::string& subject);

  // The report's text: a header of "name: value" lines, the registers, and
  // the backtrace, innermost first ("#0 libsim.so+0x1a2f (Integrate+0x3f)").
  // The texts that come from the user's library (the procedure, the
  // library's name, the fault's text, the backtrace's names) are escaped as
  // the debug log escapes user texts (TDebugLog::AppendUserText).
  static std::string Text(const TCrashFacts& facts, std::time_t now);
};
