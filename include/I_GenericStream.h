/* SPDX-License-Identifier: Apache-2.0
 * IGenericStream: the reference-counted memory stream that carries a task's
 * input and output and every data block a task asks the agent for. Usable
 * from C (C11) and C++; needs nothing but <stdint.h>.
 *
 * Calling convention: an IGenericStream pointer points to an object whose
 * first word points to a table of 18 function addresses (IGenericStreamVtbl),
 * in the order below. Every slot is a plain C function (the platform's C
 * calling convention) whose first argument is the interface pointer. Sizes,
 * positions and counts are signed 32-bit; pointers are pointer-sized.
 *
 * Rules for a task library:
 * - A task keeps no reference to its input or output stream after its
 *   procedure returns. The input is handed over at position 0; the whole
 *   output, from its first byte to its size, goes back to the user.
 * - A stream returned by IAgent GetData carries one reference that belongs to
 *   the caller, who Releases it when done. A new reference (AddRef) is
 *   released by whoever took it. AddRef and Release may be called from any
 *   thread; every other slot by one thread at a time.
 * - A slot never raises an error into task code. A refused or failed call
 *   answers 0 (or nothing) and the agent remembers the error for the calling
 *   thread; when the task procedure returns, that error fails the task with
 *   its text (for example "Assertion failure (Common/T_GenericStreamRO,
 *   line 150)" for a Write to a read-only stream).
 * - GetBasePointer and GetCurPointer give direct access to the memory. A
 *   read-only stream's memory must not be written through them; a writable
 *   stream's addresses stay valid only until the next call that changes its
 *   size or memory (Write beyond the end, SetSize, Truncate, Clear, Reset,
 *   Compact).
 */
#ifndef KELVRA_I_GENERICSTREAM_H
#define KELVRA_I_GENERICSTREAM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* QueryInterface always answers this (no such interface); out is untouched.
 * The value is 0x80004002 as a signed 32-bit number. */
#define KELVRA_E_NOINTERFACE (-2147467262)
/* What GetVersion answers for every stream of the agent. */
#define KELVRA_GENERICSTREAM_VERSION 0x10000u

typedef struct IGenericStream IGenericStream;

typedef struct IGenericStreamVtbl {
  /* 0: always KELVRA_E_NOINTERFACE; *out is not written. */
  int32_t (*QueryInterface)(IGenericStream* self, const void* iid16, void** out);
  /* 1: adds a reference; answers the new count. Any thread. */
  int32_t (*AddRef)(IGenericStream* self);
  /* 2: drops a reference; answers the new count; at 0 the stream is freed. */
  int32_t (*Release)(IGenericStream* self);
  /* 3: KELVRA_GENERICSTREAM_VERSION. */
  uint32_t (*GetVersion)(IGenericStream* self);
  /* 4: address of the first byte; null while a writable stream has no memory. */
  uint8_t* (*GetBasePointer)(IGenericStream* self);
  /* 5: base + position. */
  uint8_t* (*GetCurPointer)(IGenericStream* self);
  /* 6: 1 for a read-only view, 0 for a writable stream. */
  uint8_t (*IsReadOnly)(IGenericStream* self);
  /* 7: size in bytes. */
  int32_t (*GetSize)(IGenericStream* self);
  /* 8: writes count bytes at the position, growing the stream; answers count. */
  int32_t (*Write)(IGenericStream* self, const void* buffer, int32_t count);
  /* 9: reads up to count bytes from the position; answers the number read. */
  int32_t (*Read)(IGenericStream* self, void* buffer, int32_t count);
  /* 10: sets the position; it may lie beyond the end (a writable stream
   * refuses a negative one, and nothing is read at a negative one). */
  void (*SetPos)(IGenericStream* self, int32_t position);
  /* 11: the position. */
  int32_t (*GetPos)(IGenericStream* self);
  /* 12: frees the memory; size and position become 0. */
  void (*Clear)(IGenericStream* self);
  /* 13: the same as Clear. */
  void (*Reset)(IGenericStream* self);
  /* 14: sets the size to size, or to the position when size is -1. */
  void (*Truncate)(IGenericStream* self, int32_t size);
  /* 15: reserved; refused by every stream of the agent. */
  void (*ReservedOperation)(IGenericStream* self, int32_t value);
  /* 16: sets the size; a position beyond the new end moves to it. */
  void (*SetSize)(IGenericStream* self, int32_t size);
  /* 17: moves the content into a fresh buffer; answers the position. */
  int32_t (*Compact)(IGenericStream* self);
} IGenericStreamVtbl;

struct IGenericStream {
  const IGenericStreamVtbl* lpVtbl;

#ifdef __cplusplus
  /* C++ callers: the same slots as members. */
  int32_t QueryInterface(const void* iid16, void** out) { return lpVtbl->QueryInterface(this, iid16, out); }
  int32_t AddRef() { return lpVtbl->AddRef(this); }
  int32_t Release() { return lpVtbl->Release(this); }
  uint32_t GetVersion() { return lpVtbl->GetVersion(this); }
  uint8_t* GetBasePointer() { return lpVtbl->GetBasePointer(this); }
  uint8_t* GetCurPointer() { return lpVtbl->GetCurPointer(this); }
  uint8_t IsReadOnly() { return lpVtbl->IsReadOnly(this); }
  int32_t GetSize() { return lpVtbl->GetSize(this); }
  int32_t Write(const void* buffer, int32_t count) { return lpVtbl->Write(this, buffer, count); }
  int32_t Read(void* buffer, int32_t count) { return lpVtbl->Read(this, buffer, count); }
  void SetPos(int32_t position) { lpVtbl->SetPos(this, position); }
  int32_t GetPos() { return lpVtbl->GetPos(this); }
  void Clear() { lpVtbl->Clear(this); }
  void Reset() { lpVtbl->Reset(this); }
  void Truncate(int32_t size) { lpVtbl->Truncate(this, size); }
  void ReservedOperation(int32_t value) { lpVtbl->ReservedOperation(this, value); }
  void SetSize(int32_t size) { lpVtbl->SetSize(this, size); }
  int32_t Compact() { return lpVtbl->Compact(this); }
#endif
};

#ifdef __cplusplus
}
#endif

#endif /* KELVRA_I_GENERICSTREAM_H */
