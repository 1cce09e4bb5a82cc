// SPDX-License-Identifier: Apache-2.0
#include "Common/WireFraming.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <string>

#include "Common/T_GenericStream.h"
#include "Common/T_StreamRef.h"

namespace {

// A block's buffer grows as its bytes arrive, never ahead of them by more
// than this (or twice what has arrived): a peer announcing a huge length and
// sending nothing costs nothing.
constexpr int32_t kFirstBlockChunk = 64 * 1024;

void PutLength(uint8_t (&bytes)[4], int32_t length) {
  auto value = static_cast<uint32_t>(length);
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

int32_t GetLength(const uint8_t (&bytes)[4]) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= uint32_t{bytes[i]} << (8 * i);
  return static_cast<int32_t>(value);
}

TStatus PeerClosed() { return TStatus::Failure("", "the peer closed the connection"); }

// Reads exactly `count` bytes by `deadline`; the peer closing first fails
// the frame. Each read takes whatever is waiting, up to what is left.
TStatus ReadExact(TConnection& connection, uint8_t* buffer, size_t count, const TDeadline& deadline) {
  while (count > 0) {
    size_t got = 0;
    if (TStatus read = connection.Read(buffer, count, deadline, got); !read) return read;
    if (got == 0) return PeerClosed();
    buffer += got;
    count -= got;
  }
  return {};
}

// Reads a block's length by `deadline`. A negative one fails; one beyond
// `maxLength` fails with EMSGSIZE, its bytes left unread, and `announced`,
// when given, receives it.
TStatus ReadLength(TConnection& connection, const TDeadline& deadline, int32_t& length, int32_t maxLength = INT32_MAX,
                   int32_t* announced = nullptr) {
  uint8_t header[4];
  if (TStatus read = ReadExact(connection, header, 4, deadline); !read) return read;
  length = GetLength(header);
  if (length < 0) return TStatus::Failure("", "negative block length");
  if (length > maxLength) {
    if (announced != nullptr) *announced = length;
    return TStatus::FromErrno(EMSGSIZE, "block of " + std::to_string(length) + " bytes");
  }
  return {};
}

// Reads one block's length, then its bytes into the memory that `grow`
// provides: grow(size) makes the destination `size` bytes long, keeping what
// it holds, and answers its first byte, or null when the memory cannot be
// had. The whole block shares one deadline, or, `paced`, the length has the
// time-out and the rest its paced time-out from then.
template <typename TGrow>
TStatus ReadBlock(TConnection& connection, int timeoutMs, TGrow grow, int32_t maxLength = INT32_MAX,
                  int32_t* announced = nullptr, bool paced = false) {
  TDeadline deadline(timeoutMs);
  int32_t length = 0;
  if (TStatus read = ReadLength(connection, deadline, length, maxLength, announced); !read) return read;
  if (paced) deadline = TDeadline(PacedTimeoutMs(static_cast<size_t>(length), timeoutMs));
  int32_t received = 0;
  int32_t held = std::min(length, kFirstBlockChunk);
  uint8_t* memory = grow(held);
  while (received < length) {
    if (received == held) {
      held = held > length / 2 ? length : held * 2;
      memory = grow(held);
    }
    if (memory == nullptr) return TStatus::FromErrno(ENOMEM, "block of " + std::to_string(length) + " bytes");
    // Straight into place: as many bytes as are waiting, up to what is held.
    size_t got = 0;
    if (TStatus read = connection.Read(memory + received, static_cast<size_t>(held - received), deadline, got); !read)
      return read;
    if (got == 0) return PeerClosed();
    received += static_cast<int32_t>(got);
  }
  return {};
}

// A text's bytes as the destination of ReadBlock.
uint8_t* GrowText(std::string& text, int32_t size) {
  try {
    text.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return reinterpret_cast<uint8_t*>(text.data());
}

TStatus CheckTextLength(std::string_view text, size_t besides = 4) {
  if (text.size() > INT32_MAX - besides) return TStatus::Failure("", "Text too long for a block");
  return {};
}

// A data block's memory: the stream's own, `size` bytes of it.
TStatus StreamMemory(IGenericStream* stream, int32_t& size, const uint8_t*& memory) {
  if (stream == nullptr) return TStatus::Failure("", "No stream to send");
  size = stream->GetSize();
  memory = stream->GetBasePointer();
  if (size < 0 || (size > 0 && memory == nullptr)) return TStatus::Failure("", "Stream has no memory");
  return {};
}

TStatus WriteStringAndStream(TConnection& connection, std::string_view text, IGenericStream* stream,
                             int timeoutMs) {
  // Its length and the data block's go in the same write.
  if (TStatus fits = CheckTextLength(text, 8); !fits) return fits;
  int32_t size = 0;
  const uint8_t* memory = nullptr;
  if (TStatus found = StreamMemory(stream, size, memory); !found) return found;
  // The text block, the data block's length and the stream's own memory
  // leave in one gathered write; the data is never copied. A write moves
  // at most 2 GB - 1: a text and stream beyond that go in two.
  uint8_t textHeader[4];
  PutLength(textHeader, static_cast<int32_t>(text.size()));
  uint8_t header[4];
  PutLength(header, size);
  const auto piece = static_cast<int32_t>(std::min<int64_t>(size, int64_t{INT32_MAX} - 8 - int64_t(text.size())));
  const TTcpSocket::TPiece first[4] = {
      {textHeader, 4}, {text.data(), text.size()}, {header, 4}, {memory, static_cast<size_t>(piece)}};
  const TDeadline deadline(timeoutMs);
  if (TStatus sent = connection.Write(first, 4, deadline); !sent) return sent;
  if (piece == size) return {};
  const TTcpSocket::TPiece rest[1] = {{memory + piece, static_cast<size_t>(size - piece)}};
  return connection.Write(rest, 1, deadline);
}

// Not connected: fails at once, without traffic.
TStatus NotConnected() { return TStatus::FromErrno(ENOTCONN, ""); }

}  // namespace

TStatus SocketWriteString(TConnection& connection, std::string_view text, int timeoutMs) {
  if (!connection.Connected()) return NotConnected().Within("SocketWriteString");
  if (TStatus fits = CheckTextLength(text); !fits) return fits.Within("SocketWriteString");
  uint8_t header[4];
  PutLength(header, static_cast<int32_t>(text.size()));
  const TTcpSocket::TPiece pieces[2] = {{header, 4}, {text.data(), text.size()}};
  return connection.Write(pieces, 2, TDeadline(timeoutMs)).Within("SocketWriteString");
}

TStatus SocketWriteStringAndStream(TConnection& connection, std::string_view text, IGenericStream* stream,
                                   int timeoutMs) {
  if (!connection.Connected()) return NotConnected().Within("SocketWriteStringAndStream");
  return WriteStringAndStream(connection, text, stream, timeoutMs).Within("SocketWriteStringAndStream");
}

TStatus SocketWriteStringsAndStreams(TConnection& connection, const TTextAndStream* blocks, size_t count,
                                     int timeoutMs, TFrameTime bound) {
  constexpr const char* kCall = "SocketWriteStringsAndStreams";
  if (!connection.Connected()) return NotConnected().Within(kCall);
  // A write of several carries at most this much; a larger one goes alone.
  constexpr size_t kMaxGroupBytes = size_t{1} << 30;
  constexpr size_t kPiecesPerBlock = 4;
  const bool eachFrame = bound == TFrameTime::kEachFrame;
  const TDeadline deadline(eachFrame ? kInfiniteWait : timeoutMs);
  TTcpSocket::TPiece pieces[TTcpSocket::kMaxPieces];
  uint8_t lengths[TTcpSocket::kMaxPieces / kPiecesPerBlock][2][4];
  size_t used = 0;
  size_t bytes = 0;
  auto flush = [&]() -> TStatus {
    TStatus sent = used == 0  ? TStatus()
                   : eachFrame ? connection.WriteFrames(pieces, used, kPiecesPerBlock, timeoutMs)
                               : connection.Write(pieces, used, deadline);
    used = 0;
    bytes = 0;
    return sent;
  };
  for (size_t i = 0; i < count; ++i) {
    const TTextAndStream& block = blocks[i];
    if (TStatus fits = CheckTextLength(block.Text, 8); !fits) return fits.Within(kCall);
    int32_t size = 0;
    const uint8_t* memory = nullptr;
    if (TStatus found = StreamMemory(block.Stream, size, memory); !found) return found.Within(kCall);
    const size_t total = 8 + block.Text.size() + static_cast<size_t>(size);
    if (total > kMaxGroupBytes) {
      if (TStatus sent = flush(); !sent) return sent.Within(kCall);
      const int blockMs = eachFrame ? timeoutMs : deadline.RemainingMs();
      if (TStatus sent = WriteStringAndStream(connection, block.Text, block.Stream, blockMs); !sent)
        return sent.Within(kCall);
      continue;
    }
    if (used + kPiecesPerBlock > TTcpSocket::kMaxPieces || bytes + total > kMaxGroupBytes)
      if (TStatus sent = flush(); !sent) return sent.Within(kCall);
    auto& length = lengths[used / kPiecesPerBlock];
    PutLength(length[0], static_cast<int32_t>(block.Text.size()));
    PutLength(length[1], size);
    pieces[used++] = {length[0], 4};
    pieces[used++] = {block.Text.data(), block.Text.size()};
    pieces[used++] = {length[1], 4};
    pieces[used++] = {memory, static_cast<size_t>(size)};
    bytes += total;
  }
  return flush().Within(kCall);
}

TStatus SocketReadString(TConnection& connection, std::string& text, int timeoutMs, int32_t maxLength,
                         int32_t* announced) {
  if (!connection.Connected()) return NotConnected().Within("SocketReadString");
  return ReadBlock(connection, timeoutMs, [&](int32_t size) { return GrowText(text, size); }, maxLength, announced)
      .Within("SocketReadString");
}

TStatus SocketReadStream(TConnection& connection, std::string& content, int timeoutMs) {
  std::string block;
  if (TStatus read = SocketReadString(connection, block, timeoutMs); !read) return read.Within("SocketReadStream");
  content = std::move(block);
  return {};
}

int PacedTimeoutMs(size_t bytes, int baseMs) {
  if (!HasTimeLimit(baseMs)) return baseMs;
  const uint64_t paced = static_cast<uint64_t>(baseMs) + bytes / kSlowLinkBytesPerMs;
  return static_cast<int>(std::min<uint64_t>(paced, kInfiniteWait - 1));
}

TStatus SocketReadPacedStream(TConnection& connection, std::string& content, int timeoutMs) {
  constexpr const char* kCall = "SocketReadPacedStream";
  if (!connection.Connected()) return NotConnected().Within(kCall);
  std::string block;
  TStatus read = ReadBlock(
      connection, timeoutMs, [&](int32_t size) { return GrowText(block, size); }, INT32_MAX, nullptr, true);
  if (!read) return read.Within(kCall);
  content = std::move(block);
  return {};
}

TStatus SocketReadGenericStream(TConnection& connection, IGenericStream*& stream, int timeoutMs) {
  if (!connection.Connected()) return NotConnected().Within("SocketReadGenericStream");
  TStreamRef block(TGenericStream::Create());
  TStatus read = ReadBlock(connection, timeoutMs, [&](int32_t size) -> uint8_t* {
    return block.SetSize(size) ? block.GetBasePointer() : nullptr;
  });
  if (!read) return read.Within("SocketReadGenericStream");
  // Within the stream's size: cannot fail.
  (void)block.SetPos(block.GetSize());
  stream = block.Detach();
  return {};
}

namespace {

// SocketReadStreamTo's reading; `paced`: the block's bytes have their
// paced time-out from when its length came.
TStatus ReadBlockTo(TConnection& connection, IByteSink& sink, TStatus& sinkFailure, int timeoutMs, bool paced) {
  sinkFailure = {};
  if (!connection.Connected()) return NotConnected();
  TDeadline deadline(timeoutMs);
  int32_t length = 0;
  if (TStatus read = ReadLength(connection, deadline, length); !read) return read;
  if (paced) deadline = TDeadline(PacedTimeoutMs(static_cast<size_t>(length), timeoutMs));
  // One piece's memory, no larger than the block.
  const size_t pieceBytes = std::min(static_cast<size_t>(length), kBlockPieceBytes);
  std::unique_ptr<uint8_t[]> piece(pieceBytes > 0 ? new (std::nothrow) uint8_t[pieceBytes] : nullptr);
  if (pieceBytes > 0 && !piece) return TStatus::FromErrno(ENOMEM, "block of " + std::to_string(length) + " bytes");
  for (size_t left = static_cast<size_t>(length); left > 0;) {
    const size_t size = std::min(left, pieceBytes);
    if (TStatus read = ReadExact(connection, piece.get(), size, deadline); !read) return read;
    left -= size;
    if (sinkFailure) sinkFailure = sink.Write(piece.get(), size);
  }
  return {};
}

// Where a dropped block's bytes go: nowhere.
class TDropSink : public IByteSink {
 public:
  TStatus Write(const void*, size_t) override { return {}; }
};

}  // namespace

TStatus SocketReadStreamTo(TConnection& connection, IByteSink& sink, TStatus& sinkFailure, int timeoutMs) {
  return ReadBlockTo(connection, sink, sinkFailure, timeoutMs, false).Within("SocketReadStreamTo");
}

TStatus SocketDropPacedStream(TConnection& connection, int timeoutMs) {
  TDropSink nowhere;
  TStatus unused;
  return ReadBlockTo(connection, nowhere, unused, timeoutMs, true).Within("SocketDropPacedStream");
}
