// Decoding the server's migrated-object answers (MigrQryResp and its
// enhanced form) with the client codec, against a floor that only copies the
// same bytes out of the receive buffer. The answers are the recorded ones of
// the decoder corpus: a plain answer, an enhanced one and one whose attribute
// block carries a DMAPI handle.
//
// Each iteration decodes a batch of answers and copies the same batch, timed
// apart; the reported time is the decoder's, and the counters give both per
// answer and their ratio.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "server/verbcodec.h"
#include "server/wire/attribcodec.h"

namespace {

constexpr size_t kBatch = 4096;

std::string corpusDir() {
  std::string here = __FILE__;
  return here.substr(0, here.rfind('/')) + "/../tests/fuzz/corpus/";
}

std::vector<uint8_t> readAnswer(const char* name) {
  std::ifstream in(corpusDir() + name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

using Clock = std::chrono::steady_clock;

void BM_DecodeMigrQryResp(benchmark::State& state, const char* name) {
  const std::vector<uint8_t> verb = readAnswer(name);
  MigrQueryAnswer probe;
  if (verb.empty() || decodeMigrQryResp(verb.data(), verb.size(), &probe) != 0) {
    state.SkipWithError("answer missing or not decodable");
    return;
  }
  // A receive buffer holding the batch back to back, as the session's
  // read-ahead buffer holds consecutive answers.
  std::vector<uint8_t> stream;
  for (size_t i = 0; i < kBatch; ++i) stream.insert(stream.end(), verb.begin(), verb.end());
  std::vector<uint8_t> copy(verb.size());
  const size_t len = verb.size();

  double decodeSeconds = 0, floorSeconds = 0;
  size_t failures = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    for (size_t i = 0; i < kBatch; ++i) {
      memcpy(copy.data(), stream.data() + i * len, len);
      benchmark::DoNotOptimize(copy.data());
      benchmark::ClobberMemory();
    }
    auto t1 = Clock::now();
    for (size_t i = 0; i < kBatch; ++i) {
      MigrQueryAnswer answer;
      failures += decodeMigrQryResp(stream.data() + i * len, len, &answer) != 0;
      benchmark::DoNotOptimize(answer);
    }
    auto t2 = Clock::now();
    const double floorPart = std::chrono::duration<double>(t1 - t0).count();
    const double decodePart = std::chrono::duration<double>(t2 - t1).count();
    floorSeconds += floorPart;
    decodeSeconds += decodePart;
    state.SetIterationTime(decodePart);
  }
  if (failures) state.SkipWithError("an answer failed to decode");
  const double items = static_cast<double>(state.iterations()) * kBatch;
  state.SetItemsProcessed(static_cast<int64_t>(items));
  state.counters["bytes"] = static_cast<double>(len);
  state.counters["decode_ns"] = decodeSeconds * 1e9 / items;
  state.counters["floor_ns"] = floorSeconds * 1e9 / items;
  state.counters["ratio"] = floorSeconds > 0 ? decodeSeconds / floorSeconds : 0;
}

BENCHMARK_CAPTURE(BM_DecodeMigrQryResp, plain, "migrqryresp")->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_DecodeMigrQryResp, enhanced, "migrqryresp_enh")
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_DecodeMigrQryResp, handle, "migrqryresp_handle")
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
