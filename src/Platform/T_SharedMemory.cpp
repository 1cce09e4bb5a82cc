// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_SharedMemory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#ifndef F_SEAL_FUTURE_WRITE
#define F_SEAL_FUTURE_WRITE 0x0010
#endif

TSharedMemory::~TSharedMemory() { Unmap(); }

TSharedMemory::TSharedMemory(TSharedMemory&& other) noexcept
    : File(std::move(other.File)), Memory(std::exchange(other.Memory, nullptr)), Length(std::exchange(other.Length, 0)) {}

TSharedMemory& TSharedMemory::operator=(TSharedMemory&& other) noexcept {
  if (this != &other) {
    Unmap();
    File = std::move(other.File);
    Memory = std::exchange(other.Memory, nullptr);
    Length = std::exchange(other.Length, 0);
  }
  return *this;
}

void TSharedMemory::Unmap() {
  if (Memory != nullptr) ::munmap(Memory, Length);
  Memory = nullptr;
  Length = 0;
}

TStatus TSharedMemory::Create(const char* name, size_t size, TSharedMemory& made) {
  TFileDescriptor file(::memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!file.Valid()) return TStatus::FromErrno(errno, "memfd_create");
  if (::ftruncate(file.Get(), static_cast<off_t>(size)) != 0) return TStatus::FromErrno(errno, "ftruncate");
  void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, file.Get(), 0);
  if (memory == MAP_FAILED) return TStatus::FromErrno(errno, "mmap");
  made = TSharedMemory();
  made.File = std::move(file);
  made.Memory = memory;
  made.Length = size;
  return {};
}

TStatus TSharedMemory::Attach(int descriptor, bool readOnly, TSharedMemory& attached) {
  TFileDescriptor file(descriptor);
  struct stat facts {};
  if (::fstat(file.Get(), &facts) != 0) return TStatus::FromErrno(errno, "fstat");
  const auto size = static_cast<size_t>(facts.st_size);
  if (size == 0) return TStatus::Failure("mmap", "the shared region is empty");
  void* memory = ::mmap(nullptr, size, readOnly ? PROT_READ : PROT_READ | PROT_WRITE, MAP_SHARED, file.Get(), 0);
  if (memory == MAP_FAILED) return TStatus::FromErrno(errno, "mmap");
  // The mapping keeps the region; the descriptor is not needed any more.
  attached = TSharedMemory();
  attached.Memory = memory;
  attached.Length = size;
  return {};
}

TStatus TSharedMemory::SealWrites() {
  if (::fcntl(File.Get(), F_ADD_SEALS, F_SEAL_FUTURE_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0)
    return TStatus::FromErrno(errno, "fcntl(F_ADD_SEALS)");
  return {};
}
