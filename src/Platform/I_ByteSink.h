// SPDX-License-Identifier: Apache-2.0
// IByteSink: where a run of bytes goes piece by piece, in order, as it
// comes (a file being written, a data block being received), so that
// nobody holds the whole run. One thread writes at a time; the sink's owner
// says how long it lives.
#pragma once

#include <cstddef>

#include "Platform/T_Status.h"

class IByteSink {
 public:
  virtual ~IByteSink() = default;

  // Takes the next `size` bytes. A failure says why; the sink may have
  // kept part of them, and takes nothing more.
  virtual TStatus Write(const void* bytes, size_t size) = 0;
};
