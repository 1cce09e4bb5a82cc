// SPDX-License-Identifier: Apache-2.0
// CountWords: lines, words and bytes of data blocks, as `wc` counts them.
//
// Input:  one or more data block identifiers, separated by blanks or line
//         ends ("book" or "book notes").
// Output: a line per block, "book: lines=12 words=80 bytes=512", and after
//         several blocks a line "total: ..." with their sums.
//
// The blocks come from the user through IAgent GetData: the agent fetches a
// block once per session and keeps it in the session's cache, so the tasks
// of a session that name the same block share one copy. A block the user
// cannot deliver fails the task with a text saying which one: a C++
// exception thrown by a task fails it with the exception's text.
//
// Written in C++: the exports are extern "C", and the library is built with
// -fno-gnu-unique (see CMakeLists.txt) so that the agent can unload it when
// its session ends.
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "I_Agent.h"

namespace {

struct TCounts {
  uint64_t Lines = 0, Words = 0, Bytes = 0;
};

bool IsSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

TCounts Count(const uint8_t* bytes, int32_t size) {
  TCounts counts;
  bool inWord = false;
  for (int32_t i = 0; i < size; ++i) {
    const uint8_t c = bytes[i];
    if (c == '\n') ++counts.Lines;
    if (IsSpace(c)) {
      inWord = false;
    } else if (!inWord) {
      inWord = true;
      ++counts.Words;
    }
  }
  counts.Bytes = static_cast<uint64_t>(size);
  return counts;
}

// A stream from GetData belongs to the task, which releases it.
class TDataBlock {
 public:
  TDataBlock(IAgent* agent, void* session, const std::string& id) {
    if (agent->GetData(session, id.c_str(), &Stream) != 0)
      throw std::runtime_error("data block \"" + id + "\" is not available");
  }
  ~TDataBlock() { Stream->Release(); }
  TDataBlock(const TDataBlock&) = delete;
  TDataBlock& operator=(const TDataBlock&) = delete;

  // A read-only view of the cached block: read it in place, no copy.
  const uint8_t* Bytes() { return Stream->GetBasePointer(); }
  int32_t Size() { return Stream->GetSize(); }

 private:
  IGenericStream* Stream = nullptr;
};

std::vector<std::string> Identifiers(IGenericStream* in) {
  std::string text(static_cast<size_t>(in->GetSize()), '\0');
  text.resize(static_cast<size_t>(in->Read(text.data(), static_cast<int32_t>(text.size()))));
  std::vector<std::string> ids;
  std::string id;
  for (char c : text + ' ') {
    if (IsSpace(static_cast<uint8_t>(c))) {
      if (!id.empty()) ids.push_back(id);
      id.clear();
    } else {
      id += c;
    }
  }
  if (ids.empty()) throw std::runtime_error("no data block named: the input lists identifiers");
  return ids;
}

void WriteLine(IGenericStream* out, const std::string& name, const TCounts& counts) {
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, ": lines=%llu words=%llu bytes=%llu\n",
                static_cast<unsigned long long>(counts.Lines), static_cast<unsigned long long>(counts.Words),
                static_cast<unsigned long long>(counts.Bytes));
  const std::string line = name + numbers;
  out->Write(line.data(), static_cast<int32_t>(line.size()));
}

}  // namespace

extern "C" uint32_t CountWords(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  const std::vector<std::string> ids = Identifiers(in);
  TCounts total;
  for (const std::string& id : ids) {
    TDataBlock block(agent, session, id);
    const TCounts counts = Count(block.Bytes(), block.Size());
    WriteLine(out, id, counts);
    total.Lines += counts.Lines;
    total.Words += counts.Words;
    total.Bytes += counts.Bytes;
  }
  if (ids.size() > 1) WriteLine(out, "total", total);
  return 1;
}
