// The framing of every TCP conversation of the agent: a text block or a
// data block is a 4-byte little-endian signed length followed by that many
// bytes. Plain
// functions without state; any thread. The given time-out (kInfiniteWait: no
// limit) bounds each call as a whole: a frame, or a text and its data block,
// ends by then however its bytes trickle in or out. A frame or an exchange is
// not atomic against other threads using the same connection: callers
// serialise.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Common/T_CustomWinSocket.h"
#include "I_GenericStream.h"
#include "Platform/I_DebugSink.h"

// Writes `text` as one text block. False when the socket is not connected
// (nothing written, nothing logged) or the write fails; a failure is then
// written to `errorLog` as "SocketWriteString: <reason>" unless it is null.
bool SocketWriteString(TCustomWinSocket& socket, std::string_view text, int timeoutMs, IDebugSink* errorLog);

// Writes `text` as a text block, then the whole of `stream` (from its first
// byte, whatever its position) as a data block, in one gathered write
// straight from the stream's memory. Errors as SocketWriteString, with the
// prefix "SocketWriteStringAndStream: "; a stream without memory for its
// size fails before anything is sent. A failure while writing leaves a
// partial frame: the caller drops the connection.
bool SocketWriteStringAndStream(TCustomWinSocket& socket, std::string_view text, IGenericStream* stream,
                                int timeoutMs, IDebugSink* errorLog);

// A text block and the data block that follows it.
struct TTextAndStream {
  std::string_view Text;
  IGenericStream* Stream;
};

// Writes each text and its stream, in order, as SocketWriteStringAndStream
// does, several of them in one gathered write as far as the pieces of one
// write allow. Errors as SocketWriteStringAndStream, with the prefix
// "SocketWriteStringsAndStreams: "; false at the first failure, and nothing
// after it is sent.
bool SocketWriteStringsAndStreams(TCustomWinSocket& socket, const TTextAndStream* blocks, size_t count,
                                  int timeoutMs, IDebugSink* errorLog);

// Reads one text block into `text`. False, silently, when the socket is not
// connected, the time-out passes, the peer closes, the length is negative
// or the bytes cannot be held; `text` is then unspecified.
bool SocketReadString(TCustomWinSocket& socket, std::string& text, int timeoutMs);

// How SocketReadBoundedString ended.
enum class TTextRead { Read, Failed, TooLong };

// As SocketReadString, but a block announcing more than `maxLength` bytes is
// not read at all (TooLong: nothing is held for it, its bytes stay on the
// connection, which is then unfit for framing; `announced`, when given,
// receives the length it announced). Failed as SocketReadString.
TTextRead SocketReadBoundedString(TCustomWinSocket& socket, std::string& text, int timeoutMs, int32_t maxLength,
                                  int32_t* announced = nullptr);

// Reads one data block into `content` (a memory stream the caller owns).
// False as SocketReadString, and `content` is then untouched.
bool SocketReadStream(TCustomWinSocket& socket, std::string& content, int timeoutMs);

// Reads one data block straight into a new TGenericStream whose one
// reference passes to `stream` (its memory grows as the bytes arrive, each
// read landing in place); its position is at its end. False as
// SocketReadString, and `stream` is then untouched.
bool SocketReadGenericStream(TCustomWinSocket& socket, IGenericStream*& stream, int timeoutMs);
