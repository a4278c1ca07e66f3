#include "csv.h"

#include "shell/output.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <type_traits>

namespace bandview {

namespace {

    template <typename T> void appendNumber(QByteArray& line, T value)
    {
        if constexpr (std::is_floating_point_v<T>) {
            if (std::isnan(value))
                value = 0;
            else if (std::isinf(value))
                value
                    = value > 0 ? std::numeric_limits<T>::max() : std::numeric_limits<T>::lowest();
        }
        char text[32];
        const auto result = std::to_chars(text, text + sizeof(text), value);
        line.append(text, static_cast<qsizetype>(result.ptr - text));
    }

} // namespace

QByteArray csvHeader(int bandCount, bool stereo)
{
    QByteArray line = "seq,timeSec";
    for (const char* side : { "", "left.", "right." }) {
        if (*side == '\0' ? stereo : !stereo)
            continue;
        for (const char* column : { "rmsDb", "agcDb", "presence" })
            line.append(',').append(side).append(column);
        for (const char* column : { "bar", "peak" }) {
            for (int k = 0; k < bandCount; ++k) {
                line.append(',').append(side).append(column);
                appendNumber(line, k);
            }
        }
    }
    line.append(",onset,bpm\n");
    return line;
}

QByteArray csvRow(const TimedFrame& f, bool stereo)
{
    QByteArray line;
    appendCsvRow(line, f, stereo);
    return line;
}

void appendCsvRow(QByteArray& line, const TimedFrame& f, bool stereo)
{
    appendNumber(line, f.frame.seq);
    line.append(',');
    appendNumber(line, f.timeSec);
    for (const dsp::SpectrumFrame* side : { &f.frame, stereo ? &f.right : nullptr }) {
        if (!side)
            continue;
        for (float value : { side->rmsDb, side->agcDb, side->presence }) {
            line.append(',');
            appendNumber(line, value);
        }
        for (const float* row : { side->bars, side->peaks }) {
            for (int k = 0; k < side->bandCount; ++k) {
                line.append(',');
                appendNumber(line, row[k]);
            }
        }
    }
    line.append(f.beat.onset ? ",1," : ",0,");
    appendNumber(line, f.beat.bpm);
    line.append('\n');
}

CsvWriter::CsvWriter(shell::OutputFile& out, int bandCount, bool stereo)
    : out_(out)
    , stereo_(stereo)
{
    const QByteArray header = csvHeader(bandCount, stereo);
    ok_ = out_.writeHeader(header.constData(), static_cast<std::size_t>(header.size()));
}

bool CsvWriter::add(const TimedFrame& f)
{
    if (!ok_)
        return false;
    // The row's buffer is kept from frame to frame: truncating keeps its capacity.
    row_.truncate(0);
    appendCsvRow(row_, f, stereo_);
    ok_ = out_.write(row_.constData(), static_cast<std::size_t>(row_.size()))
        && (!out_.streams() || out_.flush());
    return ok_;
}

} // namespace bandview
