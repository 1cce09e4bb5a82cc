// SPDX-License-Identifier: Apache-2.0
// The public headers seen from C++: every member helper calls its own slot
// of the table, with its arguments in order.
#include <gtest/gtest.h>

#include <type_traits>
#include <vector>

#include "I_Agent.h"
#include "I_GenericStream.h"

namespace {

// An interface object whose slots record their index and arguments.
template <typename TInterface>
struct TRecorder : TInterface {
  std::vector<int> Slots;
  std::vector<intptr_t> Arguments;
};

template <typename T>
intptr_t Word(T value) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<intptr_t>(value);
  } else {
    return static_cast<intptr_t>(value);
  }
}

template <int Slot, typename TInterface, typename TResult, typename... TArgs>
TResult Record(TInterface* self, TArgs... args) {
  auto* recorder = static_cast<TRecorder<TInterface>*>(self);
  recorder->Slots.push_back(Slot);
  (recorder->Arguments.push_back(Word(args)), ...);
  return TResult();
}

using S = IGenericStream;
constexpr IGenericStreamVtbl kStreamTable = {
    Record<0, S, int32_t, const void*, void**>, Record<1, S, int32_t>,  Record<2, S, int32_t>,
    Record<3, S, uint32_t>,                     Record<4, S, uint8_t*>, Record<5, S, uint8_t*>,
    Record<6, S, uint8_t>,                      Record<7, S, int32_t>,  Record<8, S, int32_t, const void*, int32_t>,
    Record<9, S, int32_t, void*, int32_t>,      Record<10, S, void, int32_t>, Record<11, S, int32_t>,
    Record<12, S, void>,                        Record<13, S, void>,    Record<14, S, void, int32_t>,
    Record<15, S, void, int32_t>,               Record<16, S, void, int32_t>, Record<17, S, int32_t>,
};

using A = IAgent;
constexpr IAgentVtbl kAgentTable = {
    Record<0, A, int32_t, const void*, void**>,
    Record<1, A, uint32_t>,
    Record<2, A, uint32_t>,
    Record<3, A, int32_t, uint32_t*>,
    Record<4, A, int32_t, void*, const char*, IGenericStream**>,
    Record<5, A, int32_t, void*, const char*>,
    Record<6, A, int32_t, void*>,
    Record<7, A, int32_t, void*, char*>,
    Record<8, A, int32_t, void**>,
};

}  // namespace

TEST(InterfaceHeaders, StreamHelpersCallTheirOwnSlots) {
  TRecorder<IGenericStream> stream;
  stream.lpVtbl = &kStreamTable;
  char buffer[4];
  void* out = nullptr;
  stream.QueryInterface(buffer, &out);
  stream.AddRef();
  stream.Release();
  stream.GetVersion();
  stream.GetBasePointer();
  stream.GetCurPointer();
  stream.IsReadOnly();
  stream.GetSize();
  stream.Write(buffer, 108);
  stream.Read(buffer, 109);
  stream.SetPos(110);
  stream.GetPos();
  stream.Clear();
  stream.Reset();
  stream.Truncate(114);
  stream.ReservedOperation(115);
  stream.SetSize(116);
  stream.Compact();
  EXPECT_EQ(stream.Slots, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}));
  EXPECT_EQ(stream.Arguments, (std::vector<intptr_t>{Word(buffer), Word(&out), Word(buffer), 108, Word(buffer), 109,
                                                     110, 114, 115, 116}));
}

TEST(InterfaceHeaders, AgentHelpersCallTheirOwnSlots) {
  TRecorder<IAgent> agent;
  agent.lpVtbl = &kAgentTable;
  int session = 0;
  const char* id = "block";
  char folder[KELVRA_SESSION_FOLDER_MAX];
  void* out = nullptr;
  uint32_t version = 0;
  IGenericStream* data = nullptr;
  agent.QueryInterface(folder, &out);
  agent.AddRef();
  agent.Release();
  agent.GetVersion(&version);
  agent.GetData(&session, id, &data);
  agent.FreeData(&session, nullptr);
  agent.ShouldAbort(&session);
  agent.GetSessionFolder(&session, folder);
  agent.GetGlobalLock(&out);
  EXPECT_EQ(agent.Slots, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(agent.Arguments,
            (std::vector<intptr_t>{Word(folder), Word(&out), Word(&version), Word(&session), Word(id), Word(&data),
                                   Word(&session), 0, Word(&session), Word(&session), Word(folder), Word(&out)}));
}
