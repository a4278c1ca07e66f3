// A decoded frame's samples, in any of FFmpeg's plain sample formats, to mono floats at full
// scale +-1.0 and to the frame's own channels.
#ifndef MEDIA_SAMPLEMIX_H
#define MEDIA_SAMPLEMIX_H

#include <cstdint>

struct AVFrame;

namespace media {

// Whether mixFrame takes the sample format (an AVSampleFormat, planar or interleaved).
bool knownSampleFormat(int format);

// Averages n samples from sample first of f into out; when channels is not null, the frame's own
// samples go there too, interleaved. Non-finite samples, and doubles beyond what a float holds,
// become silence and are added to nonFinite.
void mixFrame(
    const AVFrame& f, int first, int n, float* out, float* channels, std::int64_t& nonFinite);

} // namespace media

#endif
