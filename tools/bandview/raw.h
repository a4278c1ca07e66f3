// Live numbers for other programs (status-bar modules, LED controllers): one record per analysis
// frame holding each band's bar height, handed on as soon as the frame is made.
//
// ASCII: the heights scaled to 0..max and rounded to the nearest integer, separated by ';', the
// record ended by '\n'. u8: one byte per band, 0..255. u16: two bytes per band, little-endian,
// 0..65535. The binary records have no separator: they follow each other back to back. A height
// outside 0..1 (the core gives none) is held to the nearest end. In the stereo layout a record
// holds the left side's bands, then the right side's.
//
// With the beat (--raw-beat) each record ends in two more values of its format: the onset, 1 on a
// frame that starts a beat, else 0, and the tempo in beats per minute rounded to a whole number
// and held to the format's range (0..255 in u8), 0 while none is known; in the stereo layout from
// both sides together. ASCII writes the tempo unscaled, whatever the range of the heights.
#ifndef BANDVIEW_RAW_H
#define BANDVIEW_RAW_H

#include "analysis.h"

#include <QByteArray>

#include <string>

namespace shell {
class OutputFile;
}

namespace bandview {

enum class RawFormat { Ascii, U8, U16 };

constexpr int kDefaultRawMax = 1000;
constexpr int kLargestRawMax = 65535;

// The format named by text ("ascii", "u8", "u16"); false for any other.
bool parseRawFormat(const std::string& text, RawFormat* format);

// One frame's record appended to record; with right, the left side's frame then the right's; with
// beat, its onset and tempo last.
void appendRawRecord(QByteArray& record, const dsp::SpectrumFrame& frame, RawFormat format,
    int asciiMax, const dsp::SpectrumFrame* right = nullptr, const dsp::BeatFrame* beat = nullptr);

class RawWriter {
public:
    // stereo: each record holds both sides of the frame (TimedFrame::right); withBeat: it ends in
    // the onset and the tempo.
    RawWriter(shell::OutputFile& out, RawFormat format, int asciiMax, bool stereo = false,
        bool withBeat = false);
    // Writes and hands on one record; false once the output failed (its error() says why).
    bool add(const TimedFrame& f);

private:
    shell::OutputFile& out_;
    RawFormat format_;
    int asciiMax_;
    bool stereo_;
    bool withBeat_;
    bool ok_ = true;
    QByteArray record_;
};

} // namespace bandview

#endif
