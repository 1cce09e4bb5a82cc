// SPDX-License-Identifier: Apache-2.0
// TSharedMemory: a region of memory shared with the session processes the
// agent starts: an anonymous memory file (memfd), mapped here and handed to
// a child as a descriptor that it maps in turn. The owner may seal the
// region against new writable mappings, so that a child can map it only to
// read while the owner's own mapping stays writable.
//
// Threads: made and destroyed by one owner; the memory itself is whatever
// the caller places in it (atomics, a process-shared lock).
#pragma once

#include <cstddef>

#include "Platform/PosixCalls.h"
#include "Platform/T_Status.h"

class TSharedMemory {
 public:
  TSharedMemory() = default;
  ~TSharedMemory();
  TSharedMemory(TSharedMemory&& other) noexcept;
  TSharedMemory& operator=(TSharedMemory&& other) noexcept;
  TSharedMemory(const TSharedMemory&) = delete;
  TSharedMemory& operator=(const TSharedMemory&) = delete;

  // A new region of `size` bytes, zero-filled, mapped to read and write.
  // `name` shows in /proc/<pid>/maps.
  static TStatus Create(const char* name, size_t size, TSharedMemory& made);
  // Maps the region behind `descriptor` (inherited from the agent), taking
  // the descriptor over; to read only when `readOnly`.
  static TStatus Attach(int descriptor, bool readOnly, TSharedMemory& attached);

  // From now on nobody can map the region to write (the present mapping
  // stays writable) nor change its size.
  TStatus SealWrites();

  void* Address() const { return Memory; }
  size_t Size() const { return Length; }
  // The region's descriptor (close-on-exec), for handing to a child.
  int Descriptor() const { return File.Get(); }

 private:
  void Unmap();

  TFileDescriptor File;
  void* Memory = nullptr;
  size_t Length = 0;
};
