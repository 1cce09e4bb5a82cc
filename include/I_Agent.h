/* SPDX-License-Identifier: Apache-2.0
 * IAgent: the agent's interface handed to task libraries, and the exports a
 * task library provides. Usable from C (C11) and C++; needs nothing but
 * <stdint.h> (and I_GenericStream.h).
 *
 * Calling convention: an IAgent pointer points to an object whose first word
 * points to a table of 9 function addresses (IAgentVtbl), in the order below;
 * every slot is a plain C function whose first argument is the interface
 * pointer. The pointer stays valid for the life of the agent, which outlives
 * every task and every EndSession call; AddRef and Release change nothing.
 *
 * Rules for a task library:
 * - Exports: one task procedure (TaskProc) per procedure name, called on a
 *   pool thread once per task, possibly on several threads at once; and,
 *   optionally, "EndSession" (else "_EndSession", EndSessionProc), called on
 *   the session's worker thread once after all the session's tasks and
 *   before the library is unloaded.
 * - The session identity is opaque: pass back exactly the value received.
 *   No two sessions of one agent process get the same value; a value kept
 *   from an ended session names no session (a slot given it fails).
 * - Procedures and EndSession are looked up only among the symbols the
 *   library itself defines: a name only a library it links defines (a
 *   companion's export, the C library's exit) is not found.
 * - Streams: the input is at position 0, the output is new and empty; keep
 *   no reference to either after the procedure returns. A stream from
 *   GetData belongs to the caller, who Releases it (see I_GenericStream.h).
 * - GetGlobalLock answers the address of a recursive pthread_mutex_t, already
 *   initialised and shared by every task of every session in the process.
 *   Take and leave it with pthread_mutex_lock/pthread_mutex_unlock; never
 *   destroy it. The agent itself never takes it.
 * - No slot raises an error into task code: a failing slot answers its
 *   failure value and the agent remembers the error for the calling thread;
 *   when the procedure returns, that error fails the task with its text.
 *
 * Files of a session: the agent fetches every file a task names (the
 * library first, then its companions) once per session and stores it flat
 * in the session folder (GetSessionFolder) under the spelling with which the
 * session first asked for it, every ":", "\" and "/" turned into "_":
 * "lib.so" lies there as lib.so, "C:\work\lib.so" as C__work_lib.so. Names
 * differing only in letter case are one file. A library that needs companion
 * libraries links them with RUNPATH=$ORIGIN (-Wl,-rpath,'$ORIGIN' and
 * -Wl,--enable-new-dtags) and the task names them under their sonames. A
 * companion is found by its soname, and one already loaded in the process
 * under that soname (by any session) is shared: companions that differ
 * between sessions need distinct sonames.
 *
 * A library the loader cannot unload: g++ marks every library that defines
 * a unique symbol (STB_GNU_UNIQUE: a function-local static of an inline
 * function or of a template, a static data member of a class template) as
 * one that is never unloaded; -Wl,-z,nodelete does the same. EndSession is
 * still called at the end of its session, but the library then stays loaded
 * for the life of the agent process (its file is deleted with the session
 * folder; its memory stays held, with whatever it allocated and did not
 * free), and its statics keep their values. Each later session still gets
 * its own copy in its own folder and loads it as a new object with fresh
 * statics, except the unique symbols: those stay bound to the first copy
 * loaded, so every later copy, of any session and any user, shares them.
 * Build with -fno-gnu-unique (or avoid such statics) to have the library
 * unloaded at the end of each session.
 */
#ifndef KELVRA_I_AGENT_H
#define KELVRA_I_AGENT_H

#include <stdint.h>

#include "I_GenericStream.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What IAgent GetVersion writes (high half 1, low half 1). */
#define KELVRA_AGENT_VERSION 0x00010001u
/* GetSessionFolder never writes more bytes than this, zero byte included. */
#define KELVRA_SESSION_FOLDER_MAX 4096

typedef struct IAgent IAgent;

typedef struct IAgentVtbl {
  /* 0: always KELVRA_E_NOINTERFACE; *out is not written. */
  int32_t (*QueryInterface)(IAgent* self, const void* iid16, void** out);
  /* 1: always 1; nothing is counted. */
  uint32_t (*AddRef)(IAgent* self);
  /* 2: always 1; nothing is freed. */
  uint32_t (*Release)(IAgent* self);
  /* 3: writes KELVRA_AGENT_VERSION to *out; answers 0. */
  int32_t (*GetVersion)(IAgent* self, uint32_t* out);
  /* 4: 0 and *out holds a read-only stream at position 0 (one reference, the
   *    caller's); 1 and *out is null when the user cannot deliver the block. */
  int32_t (*GetData)(IAgent* self, void* session, const char* id, IGenericStream** out);
  /* 5: drops the session's cached blocks named id (null: all of them);
   *    streams already handed out stay valid; answers 0. */
  int32_t (*FreeData)(IAgent* self, void* session, const char* id);
  /* 6: waits while the agent holds work back; then 1 when the session is
   *    ending (stop), else 0. */
  int32_t (*ShouldAbort)(IAgent* self, void* session);
  /* 7: copies the session's folder path (ending in "/") and a zero byte to
   *    buffer, which has room for KELVRA_SESSION_FOLDER_MAX bytes; answers 0. */
  int32_t (*GetSessionFolder)(IAgent* self, void* session, char* buffer);
  /* 8: writes the address of the global lock (a recursive pthread_mutex_t)
   *    to *out; answers 0. */
  int32_t (*GetGlobalLock)(IAgent* self, void** out);
} IAgentVtbl;

struct IAgent {
  const IAgentVtbl* lpVtbl;

#ifdef __cplusplus
  /* C++ callers: the same slots as members. */
  int32_t QueryInterface(const void* iid16, void** out) { return lpVtbl->QueryInterface(this, iid16, out); }
  uint32_t AddRef() { return lpVtbl->AddRef(this); }
  uint32_t Release() { return lpVtbl->Release(this); }
  int32_t GetVersion(uint32_t* out) { return lpVtbl->GetVersion(this, out); }
  int32_t GetData(void* session, const char* id, IGenericStream** out) {
    return lpVtbl->GetData(this, session, id, out);
  }
  int32_t FreeData(void* session, const char* id) { return lpVtbl->FreeData(this, session, id); }
  int32_t ShouldAbort(void* session) { return lpVtbl->ShouldAbort(this, session); }
  int32_t GetSessionFolder(void* session, char* buffer) { return lpVtbl->GetSessionFolder(this, session, buffer); }
  int32_t GetGlobalLock(void** out) { return lpVtbl->GetGlobalLock(this, out); }
#endif
};

/* A task procedure, exported under the name the task names. Only the lowest
 * 8 bits of the result count: non-zero = done, zero = the task failed. */
typedef uint32_t (*TaskProc)(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out);

/* The optional "EndSession" (or "_EndSession") export. */
typedef void (*EndSessionProc)(IAgent* agent, void* session);

#ifdef __cplusplus
}
#endif

#endif /* KELVRA_I_AGENT_H */
