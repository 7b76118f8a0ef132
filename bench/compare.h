#pragma once

#include <benchmark/benchmark.h>

#include <chrono>

namespace zefra::bench {

// Candidate and baseline alternate within each iteration, so that the load
// of a busy machine hits both alike; the "ratio" counter is candidate time
// over baseline time, and the iteration time is the candidate's.
template <class Candidate, class Baseline>
void compareInterleaved(benchmark::State& state, Candidate candidate, Baseline baseline) {
  using Clock = std::chrono::steady_clock;
  Clock::duration candidateTime{};
  Clock::duration baselineTime{};
  for (auto _ : state) {
    auto start = Clock::now();
    benchmark::DoNotOptimize(baseline());
    auto middle = Clock::now();
    benchmark::DoNotOptimize(candidate());
    auto end = Clock::now();
    baselineTime += middle - start;
    candidateTime += end - middle;
    state.SetIterationTime(std::chrono::duration<double>(end - middle).count());
  }
  state.counters["ratio"] =
      std::chrono::duration<double>(candidateTime) / std::chrono::duration<double>(baselineTime);
  state.counters["baseline_us"] = std::chrono::duration<double, std::micro>(baselineTime).count() /
                                  static_cast<double>(state.iterations());
}

}  // namespace zefra::bench
