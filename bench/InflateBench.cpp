// SPDX-License-Identifier: Apache-2.0
// Inflation speed: the agent's DecompressStream against zlib's one-shot
// uncompress on the same level-6 zlib streams, for three kinds of content
// of 8 MiB each, generated here deterministically: text-like (words of a
// Zipf-distributed vocabulary in sentences and code-like lines), log-like
// (service log lines) and float64 (a smooth field with noise, full-precision
// mantissas). BM_AgentInflate/k and BM_ZlibInflate/k report inflated bytes/s
// for kind k (0 text, 1 logs, 2 float64); their quotient is the agent's
// speed-up. Both time the same steps: the deflated bytes set aside, the
// stream sized to the inflated size, the inflation into it.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Common/T_GenericStream.h"
#include "Common/T_StreamRef.h"
#include "Common/CompressedStream.h"

namespace {

constexpr size_t kContentSize = 8u << 20;

// xorshift64: the same numbers on every machine.
struct TRandom {
  uint64_t State = 0x9E3779B97F4A7C15ull;
  uint64_t Next() {
    State ^= State << 13;
    State ^= State >> 7;
    State ^= State << 17;
    return State;
  }
  size_t Below(size_t bound) { return static_cast<size_t>(Next() % bound); }
  double Unit() { return (static_cast<double>(Next() >> 11) + 0.5) * (1.0 / 9007199254740992.0); }
};

std::string TextLike() {
  TRandom random;
  static const char* const kSyllables[] = {"the", "an", "in", "con", "de", "re", "ta", "ble", "ing", "er", "pro",
                                           "ment", "tion", "al", "o", "ex", "se", "ly", "ma", "ter", "com", "pu",
                                           "ver", "sa", "ri", "ge", "na", "st", "ol", "ic", "un", "y"};
  constexpr size_t kSyllableCount = sizeof(kSyllables) / sizeof(kSyllables[0]);
  std::vector<std::string> words;
  for (int i = 0; i < 4000; ++i) {
    std::string word;
    for (size_t n = 1 + random.Below(i < 100 ? 2 : 4); n > 0; --n) word += kSyllables[random.Below(kSyllableCount)];
    words.push_back(word);
  }
  // Word rank r comes with a weight of 1/(r+1).
  std::vector<double> cumulative;
  double total = 0;
  for (size_t r = 0; r < words.size(); ++r) cumulative.push_back(total += 1.0 / static_cast<double>(r + 1));
  auto word = [&] {
    const double pick = random.Unit() * total;
    return words[static_cast<size_t>(std::lower_bound(cumulative.begin(), cumulative.end(), pick) -
                                     cumulative.begin())];
  };
  std::string text;
  while (text.size() < kContentSize) {
    if (random.Below(5) == 0) {  // a line of code
      text += "    " + word() + "_" + word() + "(" + word() + ", " + std::to_string(random.Below(4096)) + ");\n";
      continue;
    }
    std::string sentence = word();
    sentence[0] = static_cast<char>(sentence[0] - 'a' + 'A');
    for (size_t n = 3 + random.Below(14); n > 0; --n) sentence += (random.Below(9) == 0 ? ", " : " ") + word();
    text += sentence + (random.Below(4) == 0 ? ".\n" : ". ");
  }
  text.resize(kContentSize);
  return text;
}

std::string LogLike() {
  TRandom random;
  static const char* const kLevels[] = {"INFO", "INFO", "INFO", "INFO", "INFO", "INFO", "INFO",
                                        "INFO", "DEBUG", "DEBUG", "DEBUG", "DEBUG", "WARN", "ERROR"};
  static const char* const kParts[] = {"scheduler", "worker", "net", "store", "auth", "task", "heartbeat"};
  std::string text;
  char line[256];
  uint64_t ms = 1714560000000ull;
  while (text.size() < kContentSize) {
    ms += random.Below(1000);
    const uint64_t s = ms / 1000;
    int n = std::snprintf(line, sizeof line, "2024-05-01T%02u:%02u:%02u.%03uZ host-%02u %s[%u]: %s ",
                          unsigned(s / 3600 % 24), unsigned(s / 60 % 60), unsigned(s % 60), unsigned(ms % 1000),
                          unsigned(random.Below(32)), kParts[random.Below(7)], unsigned(1000 + random.Below(64)),
                          kLevels[random.Below(14)]);
    text.append(line, static_cast<size_t>(n));
    const auto id = static_cast<unsigned>(random.Next() >> 32);
    switch (random.Below(6)) {
      case 0:
        n = std::snprintf(line, sizeof line,
                          "task %08x completed in %u ms (input=%u bytes, output=%u bytes, status=OK)\n", id,
                          unsigned(random.Below(2000)), unsigned(random.Below(1 << 24)),
                          unsigned(random.Below(1 << 20)));
        break;
      case 1:
        n = std::snprintf(line, sizeof line, "accepted connection from 10.%u.%u.%u:%u\n", unsigned(random.Below(256)),
                          unsigned(random.Below(256)), unsigned(random.Below(256)),
                          unsigned(1024 + random.Below(64512)));
        break;
      case 2:
        n = std::snprintf(line, sizeof line, "heartbeat: load=%.2f free_mem=%u MiB running=%u queued=%u\n",
                          random.Unit() * 4, unsigned(random.Below(24000)), unsigned(random.Below(16)),
                          unsigned(random.Below(100)));
        break;
      case 3:
        n = std::snprintf(line, sizeof line, "task %08x started on thread %u procedure=proc_%u\n", id,
                          unsigned(random.Below(16)), unsigned(random.Below(100)));
        break;
      case 4:
        n = std::snprintf(line, sizeof line, "retrying request %08x after %u ms: connection reset by peer\n", id,
                          unsigned(random.Below(2000)));
        break;
      default:
        n = std::snprintf(line, sizeof line, "GET /api/v1/jobs/%08x/status 200 %ums\n", id,
                          unsigned(random.Below(2000)));
    }
    text.append(line, static_cast<size_t>(n));
  }
  text.resize(kContentSize);
  return text;
}

std::string Float64() {
  TRandom random;
  std::string bytes(kContentSize, '\0');
  for (size_t i = 0; i < kContentSize / 8; ++i) {
    const double x = static_cast<double>(i) * 1e-4;
    double v = 100.0 * std::sin(x) + 10.0 * std::sin(7.3 * x + 1.0) + 0.5 * std::cos(131.0 * x);
    const double u = random.Unit();
    v += 0.01 * std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * random.Unit());
    std::memcpy(bytes.data() + 8 * i, &v, 8);
  }
  return bytes;
}

// The content of kind `kind` and its compressed block (header and zlib
// stream), made once.
struct TSample {
  std::string Content;
  std::string Block;
};

TSample MakeSample(std::string content) {
  uLongf length = compressBound(content.size());
  std::string deflated(length, '\0');
  if (compress2(reinterpret_cast<Bytef*>(deflated.data()), &length, reinterpret_cast<const Bytef*>(content.data()),
                content.size(), 6) != Z_OK)
    throw std::runtime_error("compress2 failed");
  deflated.resize(length);
  std::string block = "\x95\x34\x90\x94\xFF\x43\x09\xA4";
  for (int i = 0; i < 4; ++i) block.push_back(static_cast<char>(content.size() >> (8 * i)));
  return {std::move(content), block + deflated};
}

const TSample& Sample(int64_t kind) {
  static const TSample samples[] = {MakeSample(TextLike()), MakeSample(LogLike()), MakeSample(Float64())};
  return samples[kind];
}

TStreamRef StreamOf(const std::string& block) {
  TStreamRef stream(TGenericStream::Create());
  if (!stream.Write(block.data(), static_cast<int32_t>(block.size())).Ok()) stream.Drop();
  return stream;
}

// Times `inflate(stream)` on a new stream holding the sample's block, and
// checks what it made.
template <typename TInflate>
void TimeInflation(benchmark::State& state, TInflate inflate) {
  static const char* const kNames[] = {"text", "logs", "float64"};
  const TSample& sample = Sample(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    TStreamRef stream = StreamOf(sample.Block);
    if (!stream) state.SkipWithError("no memory for the sample");
    state.ResumeTiming();
    inflate(stream);
    benchmark::DoNotOptimize(stream.GetBasePointer());
    state.PauseTiming();
    if (stream.GetSize() != static_cast<int32_t>(sample.Content.size()) ||
        std::memcmp(stream.GetBasePointer(), sample.Content.data(), sample.Content.size()) != 0)
      state.SkipWithError("inflated to something else");
    stream.Drop();
    state.ResumeTiming();
  }
  state.SetLabel(std::string(kNames[state.range(0)]) + ", deflated to " +
                 std::to_string(100 * (sample.Block.size() - 12) / sample.Content.size()) + "%");
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sample.Content.size()));
}

void BM_AgentInflate(benchmark::State& state) {
  // A failure shows as content that differs.
  TimeInflation(state, [](TStreamRef& stream) { static_cast<void>(DecompressStream(stream.Get())); });
}
BENCHMARK(BM_AgentInflate)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

// zlib's uncompress with the same steps around it as the agent's inflation.
void BM_ZlibInflate(benchmark::State& state) {
  TimeInflation(state, [](TStreamRef& stream) {
    const int32_t compressedSize = stream.GetSize() - kCompressedHeaderSize;
    uint32_t inflatedSize = 0;
    std::memcpy(&inflatedSize, stream.GetBasePointer() + 8, 4);
    auto compressed = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(compressedSize));
    std::memcpy(compressed.get(), stream.GetBasePointer() + kCompressedHeaderSize, static_cast<size_t>(compressedSize));
    uLongf produced = inflatedSize;
    if (!stream.SetSize(static_cast<int32_t>(inflatedSize)).Ok() ||
        uncompress(stream.GetBasePointer(), &produced, compressed.get(), static_cast<uLong>(compressedSize)) != Z_OK)
      static_cast<void>(stream.SetSize(0));
    static_cast<void>(stream.SetPos(0));
  });
}
BENCHMARK(BM_ZlibInflate)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace
