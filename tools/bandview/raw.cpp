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

namespace {

    void appendBars(QByteArray& record, const dsp::SpectrumFrame& frame, RawFormat format,
        int asciiMax, bool first)
    {
        for (int k = 0; k < frame.bandCount; ++k) {
            switch (format) {
            case RawFormat::Ascii: {
                if (k > 0 || !first)
                    record.append(';');
                char text[16];
                const auto result
                    = std::to_chars(text, text + sizeof(text), scaled(frame.bars[k], asciiMax));
                record.append(text, static_cast<qsizetype>(result.ptr - text));
                break;
            }
            case RawFormat::U8:
                record.append(static_cast<char>(scaled(frame.bars[k], kLargestU8)));
                break;
            case RawFormat::U16: {
                const long v = scaled(frame.bars[k], kLargestU16);
                record.append(static_cast<char>(v & 0xff)).append(static_cast<char>(v >> 8));
                break;
            }
            }
        }
    }

} // namespace

void appendRawRecord(QByteArray& record, const dsp::SpectrumFrame& frame, RawFormat format,
    int asciiMax, const dsp::SpectrumFrame* right)
{
    appendBars(record, frame, format, asciiMax, true);
    if (right)
        appendBars(record, *right, format, asciiMax, false);
    if (format == RawFormat::Ascii)
        record.append('\n');
}

RawWriter::RawWriter(shell::OutputFile& out, RawFormat format, int asciiMax, bool stereo)
    : out_(out)
    , format_(format)
    , asciiMax_(asciiMax)
    , stereo_(stereo)
{
}

bool RawWriter::add(const TimedFrame& f)
{
    if (!ok_)
        return false;
    // The record's buffer is kept from frame to frame: truncating keeps its capacity.
    record_.truncate(0);
    appendRawRecord(record_, f.frame, format_, asciiMax_, stereo_ ? &f.right : nullptr);
    // A reader waits on each record: it goes out at once wherever the output streams.
    ok_ = out_.write(record_.constData(), static_cast<std::size_t>(record_.size()))
        && (!out_.streams() || out_.flush());
    return ok_;
}

} // namespace bandview
