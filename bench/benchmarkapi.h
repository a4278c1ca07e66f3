// The part of Google Benchmark's reporter API that changed between 1.7 and 1.8 (Debian 12 has
// 1.7, Debian 13 1.9): a run that produced no figures was marked error_occurred, and is now
// marked skipped, for an error or a skip of its own. The headers carry no version, so the
// member is looked for.
#ifndef BENCH_BENCHMARKAPI_H
#define BENCH_BENCHMARKAPI_H

#include <benchmark/benchmark.h>

#include <type_traits>
#include <utility>

namespace benchmarkapi {

template <typename Run, typename = void> struct MarksSkipped : std::false_type {
};
template <typename Run>
struct MarksSkipped<Run, std::void_t<decltype(std::declval<const Run&>().skipped)>>
    : std::true_type {
};

// Whether the run ended without figures to report.
template <typename Run> bool hasNoFigures(const Run& run)
{
    if constexpr (MarksSkipped<Run>::value)
        return run.skipped != decltype(run.skipped) {};
    else
        return run.error_occurred;
}

} // namespace benchmarkapi

#endif
