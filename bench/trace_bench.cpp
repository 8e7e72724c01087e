// Cost of a trace statement whose class is off, next to the loop it sits in.
// The floor is the same loop with only the compiler barrier; the difference
// is what a disabled TRACE costs per statement.
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

void BM_DisabledTraceFunctor(benchmark::State& state) {
  new_TraceObject(5, 0, trTIDProc);
  trReset(true);
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(++i);
    TRACE(TR_SMRECONCILEDETAIL, "object %d of %s\n", i, "fs");
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_DisabledTraceFunctor);

// The form hot loops use: the byte test at the call site.
void BM_DisabledTraceGuarded(benchmark::State& state) {
  new_TraceObject(5, 0, trTIDProc);
  trReset(true);
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(++i);
    if (TR_SMRECONCILEDETAIL) TRACE(TR_SMRECONCILEDETAIL, "object %d of %s\n", i, "fs");
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_DisabledTraceGuarded);

// An enabled class whose output is closed: the cost up to trCanOutPut.
void BM_EnabledClassNoOutput(benchmark::State& state) {
  new_TraceObject(5, 0, trTIDProc);
  trReset(true);
  trEnable("SMRECONCILEDETAIL", true);
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(++i);
    TRACE(TR_SMRECONCILEDETAIL, "object %d of %s\n", i, "fs");
    benchmark::ClobberMemory();
  }
  trReset(true);
}
BENCHMARK(BM_EnabledClassNoOutput);

// An enabled line into an unlimited file on /dev/null: formatting and stdio.
void BM_EnabledLineToDevNull(benchmark::State& state) {
  new_TraceObject(5, 0, trTIDProc);
  trReset(true);
  trEnable("SMRECONCILEDETAIL", true);
  trBegin("/dev/null", false);
  int i = 0;
  for (auto _ : state) {
    TRACE(TR_SMRECONCILEDETAIL, "object %d of %s\n", ++i, "fs");
  }
  trReset(true);
}
BENCHMARK(BM_EnabledLineToDevNull);

}  // namespace

BENCHMARK_MAIN();
