// Cost of a trace statement (class off, on without output, on into /dev/null)
// next to the loop it sits in. The floor is the same loop with only the
// compiler barrier; the difference is what the TRACE costs per statement.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "common/trace.h"

namespace {

void BM_EmptyLoop(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(++i);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_EmptyLoop);

// One trace statement with `enabled` the only class on (none when null) and
// the output opened on `file` (none when null).
void BM_Trace(benchmark::State& state, const char* enabled, const char* file) {
  new_TraceObject(5, 0, trTIDProc);
  trReset(true);
  if (enabled) trEnable(enabled, true);
  if (file) trBegin(file, false);
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(++i);
    TRACE(TR_SMRECONCILEDETAIL, "object %d of %s\n", i, "fs");
    benchmark::ClobberMemory();
  }
  trReset(true);
}
// Off: the byte test the TRACE macro makes before anything else.
BENCHMARK_CAPTURE(BM_Trace, disabled, nullptr, nullptr);
// On with the output closed: the cost up to trCanOutPut.
BENCHMARK_CAPTURE(BM_Trace, enabled_no_output, "SMRECONCILEDETAIL", nullptr);
// On into an unlimited file on /dev/null: formatting and stdio.
BENCHMARK_CAPTURE(BM_Trace, enabled_to_dev_null, "SMRECONCILEDETAIL", "/dev/null");

}  // namespace

BENCHMARK_MAIN();
