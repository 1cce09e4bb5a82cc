// SPDX-License-Identifier: Apache-2.0
// Compressed streams: a task input or data block that begins with the
// compressed-stream header holds one zlib stream, which the agent inflates
// before anyone reads it. Plain functions without state; any thread.
#pragma once

#include <cstdint>

#include "I_GenericStream.h"
#include "Platform/T_Status.h"

// The compressed-stream header: two tags and the uncompressed size, then one
// zlib stream to the end of the block.
constexpr uint32_t kCompressedTag1 = 0x94903495u;
constexpr uint32_t kCompressedTag2 = 0xA40943FFu;
constexpr int32_t kCompressedHeaderSize = 12;

// True when `stream` is at least 12 bytes long and begins with both tags.
// Reads the memory directly; the position does not move.
bool IsCompressedStream(IGenericStream* stream);

// Replaces the content of a compressed stream by the inflated data, position
// 0. Fails (the text is the reason, without a context) with the assertion
// failure of Common/kelvracommon, line 504 or 506 for a wrong tag, 519 when
// the data does not inflate to exactly the size the header gives or that
// size is beyond what the data could inflate to; with "Out of memory while
// expanding memory stream" when the size cannot be held, and with the
// stream's own refusal of the new size (a read-only view's assertion
// failure). A header size above `limit` bytes is refused before anything is
// allocated, with "Compressed data would inflate to N bytes, more than the M
// allowed"; the stream is then unchanged.
TStatus DecompressStream(IGenericStream* stream, int32_t limit = INT32_MAX);
