#include "raw.h"

#include "shell/output.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace bandview {

namespace {

    constexpr int kLargestU8 = 255;
    constexpr int kLargestU16 = 65535;

    long scaled(float height, int top)
    {
        const double h = std::isfinite(height) ? std::clamp(double(height), 0.0, 1.0) : 0.0;
        return std::lround(h * top);
    }

    // One value of the record's format; the ASCII ones after the first separated by ';'.
    void appendValue(QByteArray& record, long value, RawFormat format, bool first)
    {
        switch (format) {
        case RawFormat::Ascii: {
            if (!first)
                record.append(';');
            char text[16];
            const auto result = std::to_chars(text, text + sizeof(text), value);
            record.append(text, static_cast<qsizetype>(result.ptr - text));
            break;
        }
        case RawFormat::U8:
            record.append(static_cast<char>(value));
            break;
        case RawFormat::U16:
            record.append(static_cast<char>(value & 0xff)).append(static_cast<char>(value >> 8));
            break;
        }
    }

    long roundedBpm(float bpm, RawFormat format)
    {
        const double top = format == RawFormat::U8 ? kLargestU8 : kLargestU16;
        return std::isfinite(bpm) ? std::lround(std::clamp(double(bpm), 0.0, top)) : 0;
    }

} // namespace

bool parseRawFormat(const std::string& text, RawFormat* format)
{
    if (text == "ascii")
        *format = RawFormat::Ascii;
    else if (text == "u8")
        *format = RawFormat::U8;
    else if (text == "u16")
        *format = RawFormat::U16;
    else
        return false;
    return true;
}

void appendRawRecord(QByteArray& record, const dsp::SpectrumFrame& frame, RawFormat format,
    int asciiMax, const dsp::SpectrumFrame* right, const dsp::BeatFrame* beat)
{
    const int top = format == RawFormat::Ascii ? asciiMax
        : format == RawFormat::U8              ? kLargestU8
                                               : kLargestU16;
    bool first = true;
    for (const dsp::SpectrumFrame* side : { &frame, right }) {
        if (!side)
            continue;
        for (int k = 0; k < side->bandCount; ++k) {
            appendValue(record, scaled(side->bars[k], top), format, first);
            first = false;
        }
    }
    if (beat) {
        appendValue(record, beat->onset ? 1 : 0, format, first);
        appendValue(record, roundedBpm(beat->bpm, format), format, false);
    }
    if (format == RawFormat::Ascii)
        record.append('\n');
}

RawWriter::RawWriter(
    shell::OutputFile& out, RawFormat format, int asciiMax, bool stereo, bool withBeat)
    : out_(out)
    , format_(format)
    , asciiMax_(asciiMax)
    , stereo_(stereo)
    , withBeat_(withBeat)
{
}

bool RawWriter::add(const TimedFrame& f)
{
    if (!ok_)
        return false;
    // The record's buffer is kept from frame to frame: truncating keeps its capacity.
    record_.truncate(0);
    appendRawRecord(record_, f.frame, format_, asciiMax_, stereo_ ? &f.right : nullptr,
        withBeat_ ? &f.beat : nullptr);
    // A reader waits on each record: it goes out at once wherever the output streams.
    ok_ = out_.write(record_.constData(), static_cast<std::size_t>(record_.size()))
        && (!out_.streams() || out_.flush());
    return ok_;
}

} // namespace bandview
