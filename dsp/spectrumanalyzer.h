// Spectrum analyzer: mono float audio in, one display frame per process() call out.
//
// Contract:
// - configure(sampleRate, bandCount) picks the FFT length N: the smallest power of two holding
//   about 85 ms of audio, clamped to 1024..8192 (4096 at 44.1 and 48 kHz, 8192 at 96 kHz). A sample
//   rate that is not a finite number above 0 is ignored; band counts are clamped to 1..kMaxBands.
//   It gives the strong guarantee: if an allocation throws, std::bad_alloc propagates and the
//   analyzer is exactly as before the call.
// - pushSamples() slides samples (full scale +-1.0) into an N-sample buffer; the caller decides
//   the hop. process() needs N samples pushed since the last configure(); from then on every call
//   publishes a frame: bars and peaks (0..1), RMS level in dBFS, AGC gain, presence and a sequence
//   number that only grows (it survives configure(), as do the ballistics).
// - Each frame-producing process() call is one display frame of 1/60 s: push sampleRate / 60
//   samples per call for the motion to keep its timing.
// - Only configure() allocates; pushSamples() and process() never do. One thread at a time.
// - The hop's stages are public too, so a benchmark can run the real hop with another transform
//   in RealFft's place: when readyForHop(), measureLevels(), windowBuffer() into an array of the
//   caller's, its power spectrum (as RealFft::powerSpectrum defines it, scaled by windowSum()),
//   then finishHop() with that spectrum publish exactly what process() would.
#ifndef DSP_SPECTRUMANALYZER_H
#define DSP_SPECTRUMANALYZER_H

#include "dsp/ballistics.h"
#include "dsp/bandmap.h"
#include "dsp/export.h"
#include "dsp/realfft.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace dsp {

constexpr int kDefaultBands = 28;
constexpr int kMinFftSize = 1024;
constexpr int kMaxFftSize = 8192;
constexpr float kAnalysisWindowSec = 0.085f;
constexpr float kBandLowHz = 40.0f;
constexpr float kBandHighHz = 16000.0f;
constexpr float kSilenceDb = -120.0f;

struct SpectrumFrame {
    std::uint32_t seq = 0;
    std::int32_t bandCount = kDefaultBands;
    float bars[kMaxBands] = {};
    float peaks[kMaxBands] = {};
    float presence = 0.0f;
    float rmsDb = kSilenceDb;
    float agcDb = 0.0f;
};

// RMS level of a block in dBFS, accumulated in double; -120 for silence, null or empty input.
BANDCORE_API float computeRmsDb(const float* samples, unsigned count);
// The sum behind computeRmsDb: each sample widened to double and squared, added in index order; 0
// for null input.
BANDCORE_API double sumOfSquares(const float* samples, unsigned count);
// computeRmsDb's level from that sum of `count` squares.
BANDCORE_API float rmsDbFromSum(double sum, unsigned count);
// True when every sample compares equal to 0 (negative zero too); null or empty counts as zero.
BANDCORE_API bool isExactZero(const float* samples, unsigned count);

class SpectrumAnalyzer {
public:
    SpectrumAnalyzer() = default;
    SpectrumAnalyzer(const SpectrumAnalyzer&) = delete;
    SpectrumAnalyzer& operator=(const SpectrumAnalyzer&) = delete;

    BANDCORE_API void configure(double sampleRate, int bandCount = kDefaultBands);
    BANDCORE_API void pushSamples(const float* samples, unsigned count);
    // Returns false and leaves out untouched until N samples have been pushed.
    BANDCORE_API bool process(SpectrumFrame& out);

    // The stages of process(). False where process() would return false.
    bool readyForHop() const { return fft_ && filled_ >= buffer_.size() && !bands_.empty(); }
    // The RMS level and the exact-zero run of the buffer.
    BANDCORE_API void measureLevels();
    // The windowed buffer into out (fftSize() floats).
    void windowBuffer(float* out) const { window_.apply(buffer_.data(), out); }
    float windowSum() const { return window_.sum(); }
    // Band levels from power (fftSize() / 2 + 1 bins), the ballistics step and the frame.
    BANDCORE_API void finishHop(const float* power, SpectrumFrame& out);

    // The latest hop's band levels in dB as the band map measured them, before the ballistics:
    // bandCount() of them, for what follows the music beside the frame (BeatTracker).
    const float* bandLevelsDb() const { return bandDb_.data(); }

    int fftSize() const { return fft_ ? fft_->size() : 0; }
    // The power spectrum of the latest process() call (fftSize() / 2 + 1 bins, scaled as
    // RealFft::powerSpectrum scales them), for outputs that need more than the bands; zeros before
    // the first call and after configure() changes the size. finishHop() alone leaves it as is.
    const float* powerSpectrum() const { return power_.data(); }
    // Consecutive processed hops whose whole buffer was exactly zero.
    int exactZeroFrames() const { return exactZero_; }

    // The band table of the current configuration, for labelling a display.
    const BandMap& bands() const { return bands_; }
    double sampleRate() const { return sampleRate_; }
    int bandCount() const { return bandCount_; }

private:
    // The levels from the buffer's sum of squares.
    void takeLevels(double sumOfSquares);

    std::unique_ptr<RealFft> fft_;
    HannWindow window_;
    BandMap bands_;
    Ballistics ballistics_;
    double sampleRate_ = 0.0;
    std::int32_t bandCount_ = kDefaultBands;
    std::vector<float> buffer_;
    std::uint64_t filled_ = 0;
    std::vector<float> windowed_;
    std::vector<float> power_;
    std::vector<float> bandDb_;
    float rmsDb_ = kSilenceDb;
    std::int32_t exactZero_ = 0;
    std::uint32_t seq_ = 0;
};

} // namespace dsp

#endif
