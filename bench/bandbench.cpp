// Cost of the analyzer's hot path, side by side with FFTW in the same run.
//
// Measures RealFft::powerSpectrum at the four FFT sizes and one hop (pushSamples of
// sampleRate / 60 samples plus process, 28 bands) at 44.1, 48 and 96 kHz on every path of the
// core that this machine runs (forced through the simd test hook), Ballistics::step and
// BeatTracker::step (the onsets and the tempo, per frame, beside the core), against
// the same work done with FFTW's single-precision real-to-complex transform: the power spectrum as
// FFTW's r2c plus our scaling, and the analyzer's own hop, through its stage functions, with FFTW's
// power spectrum in RealFft's place. After the runs it prints a table of medians (or single runs),
// the ratios to FFTW, the growth from 4096 to 8192 and the hop's share of the 1/60 s frame. Every
// benchmark also counts heap allocations per iteration.
//
// Exits non-zero when FFTW and RealFft disagree on a spectrum beyond float rounding, which would
// mean the comparison measures different work.

#include "benchmarkapi.h"
#include "dsp/ballistics.h"
#include "dsp/bandmap.h"
#include "dsp/beattracker.h"
#include "dsp/realfft.h"
#include "dsp/simd.h"
#include "dsp/spectrumanalyzer.h"
#include "heapcounter.h"

#include <benchmark/benchmark.h>
#include <fftw3.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr double kFrameBudgetUs = 1.0e6 / dsp::kFrameRateHz;
constexpr int kBands = dsp::kDefaultBands;
constexpr int kFftSizes[] = { 1024, 2048, 4096, 8192 };
constexpr int kSampleRatesHz[] = { 44100, 48000, 96000 };
constexpr int kBallisticsBands[] = { 28, 32 };
// Spectra of ours and FFTW differ only by float rounding: a few ulps of the largest bin.
constexpr double kAgreementTolerance = 1e-5;

// Allocations made while the timed loop ran, per iteration.
class AllocationCounter {
public:
    explicit AllocationCounter(benchmark::State& state)
        : state_(state)
        , start_(heapcounter::allocations())
    {
    }
    ~AllocationCounter()
    {
        const long made = heapcounter::allocations() - start_;
        const double iterations = std::max<double>(1.0, static_cast<double>(state_.iterations()));
        state_.counters["allocs"] = static_cast<double>(made) / iterations;
    }
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

private:
    benchmark::State& state_;
    long start_;
};

// A fixed white-noise signal (a 64-bit LCG) of about -14 dBFS RMS, so no stage meets silence,
// subnormals or non-finite values.
std::vector<float> noise(std::size_t count, std::uint64_t seed)
{
    std::vector<float> samples(count);
    std::uint64_t state = seed;
    for (float& s : samples) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const auto top = static_cast<std::int32_t>(state >> 40) - (1 << 23);
        s = static_cast<float>(top) * (0.35f / 8388608.0f);
    }
    return samples;
}

struct FftwFreeFloat {
    void operator()(float* p) const { fftwf_free(p); }
};
struct FftwFreeComplex {
    void operator()(fftwf_complex* p) const { fftwf_free(p); }
};
struct FftwDestroyPlan {
    void operator()(fftwf_plan_s* p) const { fftwf_destroy_plan(p); }
};

// FFTW's r2c transform of `size` floats from in() to bins, measured once per size (FFTW_MEASURE
// overwrites the arrays while planning, so they are filled afterwards).
class FftwTransform {
public:
    explicit FftwTransform(int size)
        : size_(size)
        , in_(fftwf_alloc_real(static_cast<std::size_t>(size)))
        , out_(fftwf_alloc_complex(static_cast<std::size_t>(size / 2 + 1)))
        , plan_(fftwf_plan_dft_r2c_1d(size, in_.get(), out_.get(), FFTW_MEASURE))
    {
        if (!in_ || !out_ || !plan_)
            throw std::bad_alloc();
    }

    float* in() { return in_.get(); }
    int size() const { return size_; }

    // FFTW's transform followed by RealFft's scaling to power, four bins at a time like RealFft's
    // own, so the comparison is between the transforms.
    void powerSpectrum(float windowSum, float* power)
    {
        fftwf_execute(plan_.get());
        const int half = size_ / 2;
        const float* bins = reinterpret_cast<const float*>(out_.get());
        const float scale = windowSum > 0.0f ? 2.0f / windowSum : 1.0f;
        int k = 1;
#ifdef __SSE2__
        const __m128 scaleBy = _mm_set1_ps(scale);
        for (; k + 3 < half; k += 4) {
            const __m128 lo = _mm_loadu_ps(bins + 2 * k);
            const __m128 hi = _mm_loadu_ps(bins + 2 * k + 4);
            const __m128 xr = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
            const __m128 xi = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
            const __m128 magnitude = _mm_mul_ps(
                _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(xi, xi), _mm_mul_ps(xr, xr))), scaleBy);
            _mm_storeu_ps(power + k, _mm_mul_ps(magnitude, magnitude));
        }
#endif
        for (; k < half; ++k) {
            const float xr = bins[2 * k];
            const float xi = bins[2 * k + 1];
            const float magnitude = std::sqrt(xi * xi + xr * xr) * scale;
            power[k] = magnitude * magnitude;
        }
        for (const int edge : { 0, half }) {
            const float magnitude = std::abs(bins[2 * edge]) * scale * 0.5f;
            power[edge] = magnitude * magnitude;
        }
    }

private:
    int size_;
    std::unique_ptr<float, FftwFreeFloat> in_;
    std::unique_ptr<fftwf_complex, FftwFreeComplex> out_;
    std::unique_ptr<fftwf_plan_s, FftwDestroyPlan> plan_;
};

// One hop of the real analyzer with FFTW's transform in RealFft's place: the analyzer's own
// stages, in process()'s order, on its own buffers and state; only the power spectrum comes from
// FFTW.
bool fftwProcess(dsp::SpectrumAnalyzer& analyzer, FftwTransform& fft, std::vector<float>& power,
    dsp::SpectrumFrame& frame)
{
    if (!analyzer.readyForHop())
        return false;
    analyzer.measureLevels();
    analyzer.windowBuffer(fft.in());
    fft.powerSpectrum(analyzer.windowSum(), power.data());
    analyzer.finishHop(power.data(), frame);
    return true;
}

// One FFTW transform per size for the whole run, so every repetition reuses the measured plan.
FftwTransform& fftwFor(int size)
{
    static std::map<int, std::unique_ptr<FftwTransform>> transforms;
    std::unique_ptr<FftwTransform>& slot = transforms[size];
    if (!slot)
        slot = std::make_unique<FftwTransform>(size);
    return *slot;
}

std::vector<float> windowedNoise(int size)
{
    const std::vector<float> samples = noise(static_cast<std::size_t>(size), 0x5eedu);
    dsp::HannWindow window;
    window.resize(size);
    std::vector<float> windowed(samples.size());
    window.apply(samples.data(), windowed.data());
    return windowed;
}

void powerSpectrumOurs(benchmark::State& state, int size, dsp::simd::Path path)
{
    dsp::simd::forcePath(path);
    const std::vector<float> in = windowedNoise(size);
    std::vector<float> power(static_cast<std::size_t>(size / 2 + 1));
    dsp::RealFft fft(size);
    const float windowSum = static_cast<float>(size / 2);
    AllocationCounter counter(state);
    for (auto _ : state) {
        fft.powerSpectrum(in.data(), windowSum, power.data());
        benchmark::DoNotOptimize(power.data());
        benchmark::ClobberMemory();
    }
}

void powerSpectrumFftw(benchmark::State& state, int size)
{
    FftwTransform& fft = fftwFor(size);
    const std::vector<float> in = windowedNoise(size);
    std::vector<float> power(static_cast<std::size_t>(size / 2 + 1));
    const float windowSum = static_cast<float>(size / 2);
    // An out-of-place r2c transform keeps its input, so one fill serves every iteration, just as
    // RealFft reads the same block each time.
    std::memcpy(fft.in(), in.data(), in.size() * sizeof(float));
    AllocationCounter counter(state);
    for (auto _ : state) {
        fft.powerSpectrum(windowSum, power.data());
        benchmark::DoNotOptimize(power.data());
        benchmark::ClobberMemory();
    }
}

// A second of noise, pushed hop after hop from a running position; with fft, FFTW's transform
// takes RealFft's place.
void runHops(benchmark::State& state, int rate, FftwTransform* fft)
{
    dsp::SpectrumAnalyzer analyzer;
    analyzer.configure(rate, kBands);
    std::vector<float> power(static_cast<std::size_t>(analyzer.fftSize() / 2 + 1));
    const unsigned hop = static_cast<unsigned>(rate / dsp::kFrameRateHz);
    const std::vector<float> audio = noise(static_cast<std::size_t>(rate), 0x40bu);
    analyzer.pushSamples(audio.data(), static_cast<unsigned>(audio.size()));
    dsp::SpectrumFrame frame;
    std::size_t position = 0;
    AllocationCounter counter(state);
    for (auto _ : state) {
        if (position + hop > audio.size())
            position = 0;
        analyzer.pushSamples(audio.data() + position, hop);
        position += hop;
        if (fft)
            fftwProcess(analyzer, *fft, power, frame);
        else
            analyzer.process(frame);
        benchmark::DoNotOptimize(frame);
    }
}

void hopOurs(benchmark::State& state, int rate, dsp::simd::Path path)
{
    dsp::simd::forcePath(path);
    runHops(state, rate, nullptr);
}

void hopFftw(benchmark::State& state, int rate)
{
    dsp::simd::forcePath(dsp::simd::best());
    dsp::SpectrumAnalyzer sizing;
    sizing.configure(rate, kBands);
    runHops(state, rate, &fftwFor(sizing.fftSize()));
}

void ballisticsStep(benchmark::State& state, int bands)
{
    // Rows of levels that rise and fall across the display range, so both the attack and the
    // release branch and the peak logic all take turns.
    constexpr int kRows = 64;
    std::vector<float> levels(static_cast<std::size_t>(kRows * dsp::kMaxBands));
    const std::vector<float> jitter = noise(levels.size(), 0xba11u);
    for (std::size_t i = 0; i < levels.size(); ++i)
        levels[i] = -40.0f + 90.0f * jitter[i];
    dsp::Ballistics ballistics;
    float bars[dsp::kMaxBands];
    float peaks[dsp::kMaxBands];
    int row = 0;
    AllocationCounter counter(state);
    for (auto _ : state) {
        ballistics.step(levels.data() + row * dsp::kMaxBands, bands, -20.0f, bars, peaks);
        row = (row + 1) % kRows;
        benchmark::DoNotOptimize(bars);
        benchmark::DoNotOptimize(peaks);
    }
}

void beatStep(benchmark::State& state)
{
    // Rows of levels with a hit every 24th row over a noisy floor: onsets, the tempo's search
    // over every candidate, and its three-halves check all run as on music.
    constexpr int kRows = 240;
    constexpr int kHitRows = 24;
    std::vector<float> levels(static_cast<std::size_t>(kRows * dsp::kMaxBands));
    const std::vector<float> jitter = noise(levels.size(), 0xbea7u);
    for (std::size_t i = 0; i < levels.size(); ++i) {
        const bool hit = (i / dsp::kMaxBands) % kHitRows == 0;
        levels[i] = (hit ? -20.0f : -50.0f) + 6.0f * jitter[i];
    }
    dsp::BeatTracker tracker;
    int row = 0;
    AllocationCounter counter(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(tracker.step(levels.data() + row * dsp::kMaxBands, kBands));
        row = (row + 1) % kRows;
    }
}

// Keeps the median of repeated runs (or the single run) per benchmark for the closing table,
// and shows the usual console report meanwhile.
class TableReporter : public benchmark::ConsoleReporter {
public:
    struct Figure {
        double time = 0.0; // CPU time per iteration, in the benchmark's unit
        double allocs = 0.0;
    };

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (benchmarkapi::hasNoFigures(run))
                continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (!median && !single)
                continue;
            Figure figure;
            figure.time = run.GetAdjustedCPUTime();
            const auto allocs = run.counters.find("allocs");
            figure.allocs = allocs != run.counters.end() ? allocs->second.value : 0.0;
            figures_[run.run_name.function_name] = figure;
        }
    }

    const Figure* find(const std::string& name) const
    {
        const auto it = figures_.find(name);
        return it != figures_.end() ? &it->second : nullptr;
    }

private:
    std::map<std::string, Figure> figures_;
};

std::string transformName(const char* who, int size)
{
    return std::string("powerSpectrum/") + who + "/" + std::to_string(size);
}

std::string hopName(const char* who, int rate)
{
    return std::string("hop/") + who + "/" + std::to_string(rate);
}

const char* const kBeatName = "BeatTracker::step";

std::string ballisticsName(int bands)
{
    return "Ballistics::step/" + std::to_string(bands);
}

// Prints one row: the time of each path, FFTW's, and each vector path's ratio to FFTW.
void printRow(const TableReporter& report, const std::string& label,
    const std::vector<dsp::simd::Path>& paths, const std::string& fftwName,
    std::string (*nameOf)(const char*, int), int param, bool hopShare)
{
    const auto* fftw = report.find(fftwName);
    if (!fftw)
        return;
    std::printf("| %s |", label.c_str());
    double allocs = fftw->allocs;
    for (const dsp::simd::Path path : paths) {
        const auto* ours = report.find(nameOf(dsp::simd::name(path), param));
        std::printf(ours ? " %.2f |" : " - |", ours ? ours->time : 0.0);
        if (ours)
            allocs = std::max(allocs, ours->allocs);
    }
    std::printf(" %.2f |", fftw->time);
    for (const dsp::simd::Path path : paths) {
        const auto* ours = report.find(nameOf(dsp::simd::name(path), param));
        if (path != dsp::simd::Path::Scalar)
            std::printf(ours ? " %.2f |" : " - |", ours ? ours->time / fftw->time : 0.0);
    }
    if (hopShare) {
        const auto* best = report.find(nameOf(dsp::simd::name(paths.front()), param));
        std::printf(" %.3f %% |", best ? 100.0 * best->time / kFrameBudgetUs : 0.0);
    }
    std::printf(" %.0f |\n", allocs);
}

void printHeader(
    const char* what, const std::vector<dsp::simd::Path>& paths, const char* fftw, bool hopShare)
{
    std::printf("\n| %s |", what);
    int columns = 2;
    for (const dsp::simd::Path path : paths) {
        std::printf(" %s (us) |", dsp::simd::name(path));
        ++columns;
    }
    std::printf(" %s (us) |", fftw);
    for (const dsp::simd::Path path : paths) {
        if (path != dsp::simd::Path::Scalar) {
            std::printf(" %s / FFTW |", dsp::simd::name(path));
            ++columns;
        }
    }
    if (hopShare) {
        std::printf(" share of 16.7 ms |");
        ++columns;
    }
    std::printf(" allocs |\n|---|");
    for (int c = 1; c < columns + 1; ++c)
        std::printf("---:|");
    std::printf("\n");
}

void printTable(const TableReporter& report, const std::vector<dsp::simd::Path>& paths)
{
    std::printf("\nCPU time per call: median of the repetitions, or the single run\n");
    printHeader("RealFft::powerSpectrum", paths, "FFTW", false);
    for (int size : kFftSizes) {
        printRow(report, "N = " + std::to_string(size), paths, transformName("fftw", size),
            transformName, size, false);
    }
    const char* best = dsp::simd::name(paths.front());
    const auto* ours4096 = report.find(transformName(best, 4096));
    const auto* ours8192 = report.find(transformName(best, 8192));
    const auto* fftw4096 = report.find(transformName("fftw", 4096));
    const auto* fftw8192 = report.find(transformName("fftw", 8192));
    if (ours4096 && ours8192 && fftw4096 && fftw8192) {
        std::printf("\nGrowth from N = 4096 to 8192: %s x%.2f, FFTW x%.2f\n", best,
            ours8192->time / ours4096->time, fftw8192->time / fftw4096->time);
    }

    char what[80];
    std::snprintf(what, sizeof what, "Hop (push rate/60 + process, %d bands)", kBands);
    printHeader(what, paths, "FFTW-based", true);
    for (int rate : kSampleRatesHz) {
        char label[64];
        std::snprintf(
            label, sizeof label, "%.1f kHz (%d samples)", rate / 1000.0, rate / dsp::kFrameRateHz);
        printRow(report, label, paths, hopName("fftw", rate), hopName, rate, true);
    }

    std::printf("\n| Ballistics::step | ns | allocs |\n|---|---:|---:|\n");
    for (int bands : kBallisticsBands) {
        if (const auto* step = report.find(ballisticsName(bands)))
            std::printf("| %d bands | %.1f | %.0f |\n", bands, step->time, step->allocs);
    }
    if (const auto* beat = report.find(kBeatName))
        std::printf(
            "\n| BeatTracker::step | us | allocs |\n|---|---:|---:|\n| %d bands | %.2f | %.0f "
            "|\n",
            kBands, beat->time, beat->allocs);
}

// Largest difference between RealFft's and FFTW's spectrum of the same block, relative to the
// largest bin.
double disagreement(int size)
{
    const std::vector<float> in = windowedNoise(size);
    std::vector<float> ours(static_cast<std::size_t>(size / 2 + 1));
    std::vector<float> theirs(ours.size());
    const float windowSum = static_cast<float>(size / 2);
    dsp::RealFft fft(size);
    fft.powerSpectrum(in.data(), windowSum, ours.data());
    FftwTransform& reference = fftwFor(size);
    std::memcpy(reference.in(), in.data(), in.size() * sizeof(float));
    reference.powerSpectrum(windowSum, theirs.data());
    double largest = 0.0;
    double worst = 0.0;
    for (std::size_t k = 0; k < ours.size(); ++k) {
        largest = std::max(largest, static_cast<double>(theirs[k]));
        worst = std::max(worst, std::abs(static_cast<double>(ours[k]) - theirs[k]));
    }
    return largest > 0.0 ? worst / largest : worst;
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    for (int size : kFftSizes) {
        const double off = disagreement(size);
        if (!(off <= kAgreementTolerance)) {
            std::fprintf(
                stderr, "FFTW and RealFft disagree at N = %d: %g of the largest bin\n", size, off);
            return 1;
        }
    }

    // Every path this machine can run, widest first.
    std::vector<dsp::simd::Path> paths;
    for (const dsp::simd::Path path :
        { dsp::simd::Path::Avx2, dsp::simd::Path::Sse2, dsp::simd::Path::Neon }) {
        if (dsp::simd::available(path))
            paths.push_back(path);
    }
    paths.push_back(dsp::simd::Path::Scalar);

    for (int size : kFftSizes) {
        for (const dsp::simd::Path path : paths) {
            benchmark::RegisterBenchmark(
                transformName(dsp::simd::name(path), size).c_str(), powerSpectrumOurs, size, path)
                ->Unit(benchmark::kMicrosecond);
        }
        benchmark::RegisterBenchmark(transformName("fftw", size).c_str(), powerSpectrumFftw, size)
            ->Unit(benchmark::kMicrosecond);
    }
    for (int rate : kSampleRatesHz) {
        for (const dsp::simd::Path path : paths) {
            benchmark::RegisterBenchmark(
                hopName(dsp::simd::name(path), rate).c_str(), hopOurs, rate, path)
                ->Unit(benchmark::kMicrosecond);
        }
        benchmark::RegisterBenchmark(hopName("fftw", rate).c_str(), hopFftw, rate)
            ->Unit(benchmark::kMicrosecond);
    }
    for (int bands : kBallisticsBands) {
        benchmark::RegisterBenchmark(ballisticsName(bands).c_str(), ballisticsStep, bands)
            ->Unit(benchmark::kNanosecond);
    }
    benchmark::RegisterBenchmark(kBeatName, beatStep)->Unit(benchmark::kMicrosecond);

    TableReporter report;
    benchmark::RunSpecifiedBenchmarks(&report);
    printTable(report, paths);
    benchmark::Shutdown();
    return 0;
}
