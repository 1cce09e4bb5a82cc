#include "Common/WireFraming.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "Common/T_GenericStream.h"
#include "Common/T_StreamRef.h"
#include "Common/T_WinSocketStream.h"

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


// Reads exactly `count` bytes; a read that answers 0 (time-out, peer gone)
// fails the frame. Each call takes whatever is waiting, up to what is left.
void ReadExact(TWinSocketStream& view, uint8_t* buffer, int32_t count) {
  while (count > 0) {
    int32_t got = view.Read(buffer, count);
    if (got <= 0) throw std::runtime_error("");
    buffer += got;
    count -= got;
  }
}

// A block announced longer than its reader takes.
struct TBlockTooLong : std::runtime_error {
  explicit TBlockTooLong(int32_t length) : std::runtime_error("block too long"), Length(length) {}
  int32_t Length;  // as announced
};

// Reads one block's length, then its bytes into the memory that `grow`
// provides: grow(size) makes the destination `size` bytes long, keeping what
// it holds, and answers its first byte. The whole block shares one deadline.
template <typename TGrow>
void ReadBlock(TCustomWinSocket& socket, int timeoutMs, TGrow grow, int32_t maxLength = INT32_MAX) {
  TWinSocketStream view(socket, timeoutMs);
  uint8_t header[4];
  ReadExact(view, header, 4);
  const int32_t length = GetLength(header);
  if (length < 0) throw std::runtime_error("negative block length");
  if (length > maxLength) throw TBlockTooLong(length);
  int32_t received = 0;
  int32_t held = std::min(length, kFirstBlockChunk);
  uint8_t* memory = grow(held);
  while (received < length) {
    if (received == held) {
      held = held > length / 2 ? length : held * 2;
      memory = grow(held);
    }
    // Straight into place: as many bytes as are waiting, up to what is held.
    int32_t got = view.Read(memory + received, held - received);
    if (got <= 0) throw std::runtime_error("");
    received += got;
  }
}

// Sends a text block: its length and bytes in one write.
void WriteTextBlock(TWinSocketStream& view, std::string_view text) {
  uint8_t header[4];
  PutLength(header, static_cast<int32_t>(text.size()));
  const auto total = static_cast<int32_t>(4 + text.size());
  if (view.WriteGather(header, 4, text.data(), static_cast<int32_t>(text.size())) != total)
    throw std::runtime_error("Stream write error");
}

bool Report(IDebugSink* errorLog, const char* prefix, const char* reason) {
  if (errorLog != nullptr) errorLog->Write(std::string(prefix) + reason);
  return false;
}

void CheckTextLength(std::string_view text, size_t besides = 4) {
  if (text.size() > INT32_MAX - besides) throw std::runtime_error("Text too long for a block");
}

}  // namespace

bool SocketWriteString(TCustomWinSocket& socket, std::string_view text, int timeoutMs, IDebugSink* errorLog) {
  if (!socket.Connected()) return false;
  try {
    CheckTextLength(text);
    TWinSocketStream view(socket, timeoutMs);
    WriteTextBlock(view, text);
    return true;
  } catch (const std::exception& error) {
    return Report(errorLog, "SocketWriteString: ", error.what());
  }
}

bool SocketWriteStringAndStream(TCustomWinSocket& socket, std::string_view text, IGenericStream* stream,
                                int timeoutMs, IDebugSink* errorLog) {
  if (!socket.Connected()) return false;
  try {
    CheckTextLength(text, 8);  // its length and the data block's go in the same write
    if (stream == nullptr) throw std::invalid_argument("No stream to send");
    const int32_t size = stream->GetSize();
    const uint8_t* memory = stream->GetBasePointer();
    if (size < 0 || (size > 0 && memory == nullptr)) throw std::runtime_error("Stream has no memory");
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
    const auto firstTotal = static_cast<int32_t>(8 + text.size() + static_cast<size_t>(piece));
    TWinSocketStream view(socket, timeoutMs);
    if (view.WritePieces(first, 4) != firstTotal ||
        (piece < size && view.Write(memory + piece, size - piece) != size - piece))
      throw std::runtime_error("Stream write error");
    return true;
  } catch (const std::exception& error) {
    return Report(errorLog, "SocketWriteStringAndStream: ", error.what());
  }
}

bool SocketWriteStringsAndStreams(TCustomWinSocket& socket, const TTextAndStream* blocks, size_t count,
                                  int timeoutMs, IDebugSink* errorLog) {
  if (!socket.Connected()) return false;
  // A write of several carries at most this much; a larger one goes alone.
  constexpr size_t kMaxGroupBytes = size_t{1} << 30;
  constexpr size_t kPiecesPerBlock = 4;
  try {
    TWinSocketStream view(socket, timeoutMs);
    TTcpSocket::TPiece pieces[TTcpSocket::kMaxPieces];
    uint8_t lengths[TTcpSocket::kMaxPieces / kPiecesPerBlock][2][4];
    size_t used = 0;
    size_t bytes = 0;
    auto flush = [&] {
      if (used > 0 && view.WritePieces(pieces, used) != static_cast<int32_t>(bytes))
        throw std::runtime_error("Stream write error");
      used = 0;
      bytes = 0;
    };
    for (size_t i = 0; i < count; ++i) {
      const TTextAndStream& block = blocks[i];
      CheckTextLength(block.Text, 8);
      if (block.Stream == nullptr) throw std::invalid_argument("No stream to send");
      const int32_t size = block.Stream->GetSize();
      const uint8_t* memory = block.Stream->GetBasePointer();
      if (size < 0 || (size > 0 && memory == nullptr)) throw std::runtime_error("Stream has no memory");
      const size_t total = 8 + block.Text.size() + static_cast<size_t>(size);
      if (total > kMaxGroupBytes) {
        flush();
        if (!SocketWriteStringAndStream(socket, block.Text, block.Stream, timeoutMs, nullptr))
          throw std::runtime_error("Stream write error");
        continue;
      }
      if (used + kPiecesPerBlock > TTcpSocket::kMaxPieces || bytes + total > kMaxGroupBytes) flush();
      auto& length = lengths[used / kPiecesPerBlock];
      PutLength(length[0], static_cast<int32_t>(block.Text.size()));
      PutLength(length[1], size);
      pieces[used++] = {length[0], 4};
      pieces[used++] = {block.Text.data(), block.Text.size()};
      pieces[used++] = {length[1], 4};
      pieces[used++] = {memory, static_cast<size_t>(size)};
      bytes += total;
    }
    flush();
    return true;
  } catch (const std::exception& error) {
    return Report(errorLog, "SocketWriteStringsAndStreams: ", error.what());
  }
}

bool SocketReadString(TCustomWinSocket& socket, std::string& text, int timeoutMs) {
  return SocketReadBoundedString(socket, text, timeoutMs, INT32_MAX) == TTextRead::Read;
}

TTextRead SocketReadBoundedString(TCustomWinSocket& socket, std::string& text, int timeoutMs, int32_t maxLength,
                                  int32_t* announced) {
  if (!socket.Connected()) return TTextRead::Failed;
  try {
    ReadBlock(
        socket, timeoutMs,
        [&](int32_t size) {
          text.resize(static_cast<size_t>(size));
          return reinterpret_cast<uint8_t*>(text.data());
        },
        maxLength);
    return TTextRead::Read;
  } catch (const TBlockTooLong& tooLong) {
    if (announced != nullptr) *announced = tooLong.Length;
    return TTextRead::TooLong;
  } catch (...) {
    return TTextRead::Failed;
  }
}

bool SocketReadStream(TCustomWinSocket& socket, std::string& content, int timeoutMs) {
  std::string block;
  if (!SocketReadString(socket, block, timeoutMs)) return false;
  content = std::move(block);
  return true;
}

bool SocketReadGenericStream(TCustomWinSocket& socket, IGenericStream*& stream, int timeoutMs) {
  if (!socket.Connected()) return false;
  try {
    TStreamRef block(TGenericStream::Create());
    ReadBlock(socket, timeoutMs, [&](int32_t size) {
      if (TStatus sized = block.SetSize(size); !sized) throw std::runtime_error(sized.Text());
      return block.GetBasePointer();
    });
    static_cast<void>(block.SetPos(block.GetSize()));  // a size is never negative
    stream = block.Detach();
    return true;
  } catch (...) {
    return false;
  }
}
