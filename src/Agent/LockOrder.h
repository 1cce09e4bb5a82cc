// SPDX-License-Identifier: Apache-2.0
// The order in which the agent's locks may be taken, for the whole process.
// Every lock is a TMutex (never recursive): a thread that holds a lock of a
// row may take, below it, only the locks its row names, and never one it
// already holds. A leaf is held while no other lock is taken.
//
//   held                                may take while holding it
//   ----------------------------------  -----------------------------------
//   TSessionList::SessionLock           TAgentSession::QueueLock (a
//                                       session's task list is asked)
//   TAgentSession::QueueLock            TBlockCache::Lock (a task's input
//                                       freed under it gives its memory
//                                       back to the process's block cache)
//   TFileCache::Lock                    TAgentPeer::Lock, the session folders
//                                       lock (T_FileCache.cpp)
//   TAgentDataCache::Lock               TAgentPeer::Lock, TBlockCache::Lock
//                                       (a block dropped under it)
//   TAgentPeer::Lock                    its connection's StateLock
//   TListener::ListLock                 a connection's StateLock (Stop shuts
//                                       every connection down)
//
// Leaves: TBlockCache::Lock, TAgentPeer::PostLock, TConnection::StateLock,
// TAgentConfig::SettingsLock,
// TAgentStatusThread::WakeLock, TMainThreadQueue::Lock, the session
// registry's lock (I_Session.cpp), the session folders lock, and the lock of
// each TWaitable (TEvent, TPlatformSemaphore); WaitForFirst takes two of these
// together, in no fixed order, through std::lock. TLibraryLock belongs to
// the task libraries: the agent never takes it.
//
// Calls out of the agent: a task procedure and EndSession run with no agent
// lock held, so their slot calls (GetData, FreeData, ...) may take any lock
// above. GetLibrary holds TFileCache::Lock while the loader runs a library's
// initialisers, which have no way back into the agent.
//
// What the compiler checks: each lock's GUARDED_BY fields and REQUIRES
// functions, EXCLUDES on public functions that take their object's lock, and
// ACQUIRED_BEFORE between two locks of one object; clang checks an order
// only where one function takes both locks (-Wthread-safety-beta). Across objects each class takes only its own locks
// and calls into the next row's object, so this table is the rule there.
#pragma once
