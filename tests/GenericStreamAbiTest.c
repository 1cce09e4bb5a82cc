/* SPDX-License-Identifier: Apache-2.0
 * The task-library ABI seen from C: the public headers compile as strict
 * C11, and every IGenericStream slot of the agent's streams is called by its
 * index in the table, as a task library built without the agent calls it.
 * Answers non-zero when a check failed. */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "GenericStreamAbiShim.h"
#include "I_Agent.h"
#include "I_GenericStream.h"

#define SLOT_OFFSET(index) ((index) * sizeof(void (*)(void)))
_Static_assert(sizeof(IGenericStreamVtbl) == SLOT_OFFSET(18), "18 stream slots");
_Static_assert(offsetof(IGenericStreamVtbl, GetVersion) == SLOT_OFFSET(3), "GetVersion is slot 3");
_Static_assert(offsetof(IGenericStreamVtbl, Read) == SLOT_OFFSET(9), "Read is slot 9");
_Static_assert(offsetof(IGenericStreamVtbl, ReservedOperation) == SLOT_OFFSET(15), "slot 15");
_Static_assert(offsetof(IGenericStreamVtbl, Compact) == SLOT_OFFSET(17), "Compact is slot 17");
_Static_assert(sizeof(IAgentVtbl) == SLOT_OFFSET(9), "9 agent slots");
_Static_assert(offsetof(IAgentVtbl, GetVersion) == SLOT_OFFSET(3), "GetVersion is slot 3");
_Static_assert(offsetof(IAgentVtbl, GetData) == SLOT_OFFSET(4), "GetData is slot 4");
_Static_assert(offsetof(IAgentVtbl, ShouldAbort) == SLOT_OFFSET(6), "ShouldAbort is slot 6");
_Static_assert(offsetof(IAgentVtbl, GetGlobalLock) == SLOT_OFFSET(8), "GetGlobalLock is slot 8");
_Static_assert(sizeof(IGenericStream) == sizeof(void*) && sizeof(IAgent) == sizeof(void*), "one word");

static int Failures = 0;

#define CHECK(condition)                                                           \
  do {                                                                             \
    if (!(condition)) {                                                            \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      ++Failures;                                                                  \
    }                                                                              \
  } while (0)

/* Slot k of the table that the object's first word points to. */
typedef void (*AnySlot)(void);
static AnySlot SlotAt(IGenericStream* stream, int index) {
  const unsigned char* table;
  AnySlot slot;
  memcpy(&table, stream, sizeof table);
  memcpy(&slot, table + SLOT_OFFSET((size_t)index), sizeof slot);
  return slot;
}

typedef int32_t (*QuerySlot)(IGenericStream*, const void*, void**);
typedef int32_t (*IntResultSlot)(IGenericStream*);
typedef uint32_t (*VersionSlot)(IGenericStream*);
typedef uint8_t* (*PointerSlot)(IGenericStream*);
typedef uint8_t (*FlagSlot)(IGenericStream*);
typedef int32_t (*WriteSlot)(IGenericStream*, const void*, int32_t);
typedef int32_t (*ReadSlot)(IGenericStream*, void*, int32_t);
typedef void (*IntArgumentSlot)(IGenericStream*, int32_t);
typedef void (*NoArgumentSlot)(IGenericStream*);

static int32_t QueryInterface(IGenericStream* s, const void* iid, void** out) {
  return ((QuerySlot)SlotAt(s, 0))(s, iid, out);
}
static int32_t AddRef(IGenericStream* s) { return ((IntResultSlot)SlotAt(s, 1))(s); }
static int32_t Release(IGenericStream* s) { return ((IntResultSlot)SlotAt(s, 2))(s); }
static uint32_t GetVersion(IGenericStream* s) { return ((VersionSlot)SlotAt(s, 3))(s); }
static uint8_t* GetBasePointer(IGenericStream* s) { return ((PointerSlot)SlotAt(s, 4))(s); }
static uint8_t* GetCurPointer(IGenericStream* s) { return ((PointerSlot)SlotAt(s, 5))(s); }
static uint8_t IsReadOnly(IGenericStream* s) { return ((FlagSlot)SlotAt(s, 6))(s); }
static int32_t GetSize(IGenericStream* s) { return ((IntResultSlot)SlotAt(s, 7))(s); }
static int32_t Write(IGenericStream* s, const void* b, int32_t n) { return ((WriteSlot)SlotAt(s, 8))(s, b, n); }
static int32_t Read(IGenericStream* s, void* b, int32_t n) { return ((ReadSlot)SlotAt(s, 9))(s, b, n); }
static void SetPos(IGenericStream* s, int32_t p) { ((IntArgumentSlot)SlotAt(s, 10))(s, p); }
static int32_t GetPos(IGenericStream* s) { return ((IntResultSlot)SlotAt(s, 11))(s); }
static void Clear(IGenericStream* s) { ((NoArgumentSlot)SlotAt(s, 12))(s); }
static void Reset(IGenericStream* s) { ((NoArgumentSlot)SlotAt(s, 13))(s); }
static void Truncate(IGenericStream* s, int32_t n) { ((IntArgumentSlot)SlotAt(s, 14))(s, n); }
static void ReservedOperation(IGenericStream* s, int32_t v) { ((IntArgumentSlot)SlotAt(s, 15))(s, v); }
static void SetSize(IGenericStream* s, int32_t n) { ((IntArgumentSlot)SlotAt(s, 16))(s, n); }
static int32_t Compact(IGenericStream* s) { return ((IntResultSlot)SlotAt(s, 17))(s); }

/* The thread's remembered error is `expected` (or none for NULL). */
static int ErrorIs(const char* expected) {
  char text[256];
  int had = TEST_TakeSlotError(text, (int32_t)sizeof text);
  if (expected == NULL) return !had;
  if (!had || strcmp(text, expected) != 0) fprintf(stderr, "remembered error: \"%s\"\n", text);
  return had && strcmp(text, expected) == 0;
}

static void TestWritableStream(void) {
  IGenericStream* s = TEST_CreateGenericStream();
  void* untouched = &Failures;
  char buffer[16] = {0};
  const unsigned char iid[16] = {0};

  CHECK(QueryInterface(s, iid, &untouched) == KELVRA_E_NOINTERFACE);
  CHECK(QueryInterface(s, iid, &untouched) == (int32_t)0x80004002u);
  CHECK(untouched == &Failures);
  CHECK(AddRef(s) == 2 && Release(s) == 1);
  CHECK(GetVersion(s) == 0x10000u);
  CHECK(GetBasePointer(s) == NULL && GetSize(s) == 0 && GetPos(s) == 0 && IsReadOnly(s) == 0);

  CHECK(Write(s, "hello world", 11) == 11);
  CHECK(GetSize(s) == 11 && GetPos(s) == 11);
  CHECK(GetBasePointer(s) != NULL && memcmp(GetBasePointer(s), "hello world", 11) == 0);
  CHECK(GetCurPointer(s) == GetBasePointer(s) + 11);

  SetPos(s, 6);
  CHECK(Read(s, buffer, 10) == 5 && memcmp(buffer, "world", 5) == 0);
  CHECK(Read(s, buffer, 10) == 0);

  SetPos(s, 5);
  Truncate(s, -1);
  CHECK(GetSize(s) == 5 && GetPos(s) == 5);
  SetSize(s, 3);
  CHECK(GetSize(s) == 3 && GetPos(s) == 3);
  CHECK(Compact(s) == 3 && memcmp(GetBasePointer(s), "hel", 3) == 0);
  CHECK(ErrorIs(NULL));

  SetPos(s, -1);
  CHECK(GetPos(s) == 3 && ErrorIs("Range check error"));
  ReservedOperation(s, 7);
  CHECK(ErrorIs("Assertion failure (Common/T_GenericStream, line 195)"));

  Clear(s);
  CHECK(GetSize(s) == 0 && GetPos(s) == 0 && GetBasePointer(s) == NULL);
  CHECK(Write(s, "ab", 2) == 2);
  Reset(s);
  CHECK(GetSize(s) == 0 && GetPos(s) == 0 && GetBasePointer(s) == NULL);
  CHECK(ErrorIs(NULL));
  CHECK(Release(s) == 0);
}

static void TestReadOnlyView(void) {
  static const char data[] = "abcdef";
  IGenericStream* s = TEST_CreateGenericStreamRO(data, 6);
  void* untouched = NULL;
  char buffer[8] = {0};

  CHECK(QueryInterface(s, data, &untouched) == KELVRA_E_NOINTERFACE && untouched == NULL);
  CHECK(AddRef(s) == 2 && Release(s) == 1);
  CHECK(GetVersion(s) == 0x10000u && IsReadOnly(s) == 1);
  CHECK(GetBasePointer(s) == (const uint8_t*)data && GetSize(s) == 6);
  SetPos(s, 4);
  CHECK(GetPos(s) == 4 && GetCurPointer(s) == (const uint8_t*)data + 4);
  CHECK(Read(s, buffer, 8) == 2 && memcmp(buffer, "ef", 2) == 0);
  SetPos(s, 0);

  /* Every modifying slot is refused: failure value, the unit's line, nothing changed. */
  CHECK(Write(s, "x", 1) == 0);
  CHECK(ErrorIs("Assertion failure (Common/T_GenericStreamRO, line 150)"));
  Clear(s);
  CHECK(ErrorIs("Assertion failure (Common/T_GenericStreamRO, line 192)"));
  Reset(s);
  CHECK(ErrorIs("Assertion failure (Common/T_GenericStreamRO, line 199)"));
  Truncate(s, 1);
  CHECK(ErrorIs("Assertion failure (Common/T_GenericStreamRO, line 206)"));
  ReservedOperation(s, 1);
  CHECK(ErrorIs("Assertion failure (Common/T_GenericStreamRO, line 213)"));
  SetSize(s, 1);
  CHECK(ErrorIs("Assertion failure (Common/T_GenericStreamRO, line 220)"));
  CHECK(Compact(s) == 0);
  CHECK(ErrorIs("Assertion failure (Common/T_GenericStreamRO, line 227)"));
  CHECK(GetSize(s) == 6 && GetPos(s) == 0 && memcmp(data, "abcdef", 6) == 0);
  CHECK(Release(s) == 0);
}

static void TestWrapperOutlivesTheBlock(void) {
  IGenericStream* block = TEST_CreateGenericStream();
  IGenericStream* view;
  char buffer[8] = {0};
  CHECK(Write(block, "cached", 6) == 6);
  view = TEST_CreateStreamWrapper(block);
  CHECK(Release(block) == 1); /* the view's reference is left */
  CHECK(IsReadOnly(view) == 1 && GetPos(view) == 0 && GetSize(view) == 6);
  CHECK(Read(view, buffer, 8) == 6 && memcmp(buffer, "cached", 6) == 0);
  CHECK(Write(view, "x", 1) == 0 && ErrorIs("Assertion failure (Common/T_GenericStreamRO, line 150)"));
  CHECK(Release(view) == 0);
}

/* A task procedure and an EndSession export written in C. */
static uint32_t CopyTask(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  char buffer[4];
  int32_t got;
  (void)agent;
  (void)session;
  while ((got = in->lpVtbl->Read(in, buffer, (int32_t)sizeof buffer)) > 0) out->lpVtbl->Write(out, buffer, got);
  return 0x100u | 1u; /* only the lowest 8 bits count */
}
static int EndSessionCalls = 0;
static void EndSession(IAgent* agent, void* session) {
  (void)agent;
  (void)session;
  ++EndSessionCalls;
}

static void TestTaskProcedureTypes(void) {
  TaskProc proc = CopyTask;
  EndSessionProc end = EndSession;
  IGenericStream* in = TEST_CreateGenericStreamRO("input bytes", 11);
  IGenericStream* out = TEST_CreateGenericStream();
  CHECK((uint8_t)proc(NULL, NULL, in, out) == 1);
  CHECK(GetSize(out) == 11 && memcmp(GetBasePointer(out), "input bytes", 11) == 0);
  end(NULL, NULL);
  CHECK(EndSessionCalls == 1);
  CHECK(Release(in) == 0 && Release(out) == 0);
}

int main(void) {
  TestWritableStream();
  TestReadOnlyView();
  TestWrapperOutlivesTheBlock();
  TestTaskProcedureTypes();
  if (Failures != 0) fprintf(stderr, "%d check(s) failed\n", Failures);
  else printf("all ABI checks passed\n");
  return Failures == 0 ? 0 : 1;
}
