// SPDX-License-Identifier: Apache-2.0
// The framing of every TCP conversation of the agent: a text block or a
// data block is a 4-byte little-endian signed length followed by that many
// bytes. Plain functions without state; any thread. The given time-out
// (kInfiniteWait: no limit) is one deadline for each call as a whole: a
// frame, or a text and its data block, ends by then however its bytes
// trickle in or out. A frame or an exchange is not atomic against other
// threads using the same connection: callers serialise.
//
// Each failure is a TStatus whose context names the call, so that its text
// is the framing's error line: "SocketWriteString: Write error 32, Broken
// pipe". A call on a connection that is not open fails at once, without
// traffic.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Common/T_Connection.h"
#include "I_GenericStream.h"
#include "Platform/I_ByteSink.h"
#include "Platform/T_Status.h"

// Writes `text` as one text block.
TStatus SocketWriteString(TConnection& connection, std::string_view text, int timeoutMs);

// Writes `text` as a text block, then the whole of `stream` (from its first
// byte, whatever its position) as a data block, in one gathered write
// straight from the stream's memory. A stream without memory for its size
// fails before anything is sent. A failure while writing leaves a partial
// frame: the caller drops the connection.
TStatus SocketWriteStringAndStream(TConnection& connection, std::string_view text, IGenericStream* stream,
                                   int timeoutMs);

// A text block and the data block that follows it.
struct TTextAndStream {
  std::string_view Text;
  IGenericStream* Stream;
};

// What the time-out of a call that writes several frames bounds.
enum class TFrameTime {
  kWholeCall,  // the call as a whole
  kEachFrame,  // each text and its stream, from when the one before it has gone out
};

// Writes each text and its stream, in order, as SocketWriteStringAndStream
// does, several of them in one gathered write as far as the pieces of one
// write allow. Fails at the first failure, and nothing after it is sent.
// With kEachFrame, a slow peer that takes each frame within the time-out
// takes them all, however many there are.
TStatus SocketWriteStringsAndStreams(TConnection& connection, const TTextAndStream* blocks, size_t count,
                                     int timeoutMs, TFrameTime bound = TFrameTime::kWholeCall);

// Reads one text block into `text`. Fails when the time-out passes, the
// peer closes, the length is negative or the bytes cannot be held; `text`
// is then unspecified. A block announcing more than `maxLength` bytes is not
// read at all: it fails with EMSGSIZE, nothing is held for it, its bytes
// stay on the connection (which is then unfit for framing), and
// `announced`, when given, receives the length it announced.
TStatus SocketReadString(TConnection& connection, std::string& text, int timeoutMs, int32_t maxLength = INT32_MAX,
                         int32_t* announced = nullptr);

// Reads one data block into `content`; `content` is untouched on failure.
TStatus SocketReadStream(TConnection& connection, std::string& content, int timeoutMs);

// The slowest link a large block crosses without failing: a paced time-out
// grows by a millisecond for each kSlowLinkBytesPerMs of the block (64 kB/s).
constexpr size_t kSlowLinkBytesPerMs = 64;
// `baseMs` and the time `bytes` take at kSlowLinkBytesPerMs, at most
// kInfiniteWait - 1; kInfiniteWait stays.
int PacedTimeoutMs(size_t bytes, int baseMs);
// As SocketReadStream, with a paced time-out: the block's length within
// `timeoutMs`, and the whole block within PacedTimeoutMs(length, timeoutMs)
// from then.
TStatus SocketReadPacedStream(TConnection& connection, std::string& content, int timeoutMs);

// Reads one data block straight into a new TGenericStream whose one
// reference passes to `stream` (its memory grows as the bytes arrive, each
// read landing in place); its position is at its end. `stream` is
// untouched on failure.
TStatus SocketReadGenericStream(TConnection& connection, IGenericStream*& stream, int timeoutMs);

// The most SocketReadStreamTo holds of a block at a time.
constexpr size_t kBlockPieceBytes = size_t{1} << 20;

// Reads one data block and hands its bytes to `sink` in order, in pieces of
// at most kBlockPieceBytes, each as soon as it has arrived whole: the block
// is never held whole, whatever its size. Fails as SocketReadStream does (the
// time-out of the whole block, the peer closing, a negative length, no
// memory for a piece), having handed `sink` part of the block or none; the
// rest is then left on the connection, which is unfit for framing. A sink
// that fails is handed nothing more, but the block is still read to its end
// and dropped, so the connection stays in step: the read then succeeds and
// `sinkFailure` holds the sink's failure (ok otherwise).
TStatus SocketReadStreamTo(TConnection& connection, IByteSink& sink, TStatus& sinkFailure, int timeoutMs);

// Reads one data block and drops it, holding a piece of it at a time, with
// a paced time-out as SocketReadPacedStream has: the connection stays in
// step without the block's memory.
TStatus SocketDropPacedStream(TConnection& connection, int timeoutMs);
