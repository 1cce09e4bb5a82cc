// TReceiveBuffer: bytes a connection has received that its reader has not
// taken yet. One receive fills the empty buffer with whatever has arrived (a
// run of small frames, say); the reader then takes them a piece at a time
// without a system call. The memory is allocated at the first fill and given
// back by Clear. Not thread-safe: the connection guards it with its I/O lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class TReceiveBuffer {
 public:
  // The most one receive brings into the buffer. A reader asking for at
  // least this much at once receives straight into its own memory instead.
  static constexpr size_t kCapacity = 16 * 1024;

  bool Empty() const { return Start == End; }
  size_t Held() const { return End - Start; }

  // Moves up to `count` held bytes, oldest first, to `destination`; answers
  // how many.
  size_t Take(void* destination, size_t count);

  // kCapacity bytes to receive into. Precondition: Empty().
  uint8_t* Room();
  // The receive into Room() brought `count` (<= kCapacity) bytes.
  void Received(size_t count);

  // Drops what is held (the connection has ended) and gives the memory back.
  void Clear();

 private:
  std::unique_ptr<uint8_t[]> Storage;
  size_t Start = 0;
  size_t End = 0;
};
