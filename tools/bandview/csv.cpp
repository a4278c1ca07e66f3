#include "csv.h"

#include <QIODevice>

#include <charconv>

namespace bandview {

namespace {

    template <typename T> void appendNumber(QByteArray& line, T value)
    {
        char text[32];
        const auto result = std::to_chars(text, text + sizeof(text), value);
        line.append(text, static_cast<qsizetype>(result.ptr - text));
    }

} // namespace

QByteArray csvHeader(int bandCount)
{
    QByteArray line = "seq,timeSec,rmsDb,agcDb,presence";
    for (const char* column : { ",bar", ",peak" }) {
        for (int k = 0; k < bandCount; ++k) {
            line.append(column);
            appendNumber(line, k);
        }
    }
    line.append('\n');
    return line;
}

QByteArray csvRow(const TimedFrame& f)
{
    QByteArray line;
    appendNumber(line, f.frame.seq);
    line.append(',');
    appendNumber(line, f.timeSec);
    for (float value : { f.frame.rmsDb, f.frame.agcDb, f.frame.presence }) {
        line.append(',');
        appendNumber(line, value);
    }
    for (const float* row : { f.frame.bars, f.frame.peaks }) {
        for (int k = 0; k < f.frame.bandCount; ++k) {
            line.append(',');
            appendNumber(line, row[k]);
        }
    }
    line.append('\n');
    return line;
}

bool writeCsv(QIODevice& out, int bandCount, const std::vector<TimedFrame>& frames)
{
    if (out.write(csvHeader(bandCount)) < 0)
        return false;
    for (const TimedFrame& f : frames) {
        if (out.write(csvRow(f)) < 0)
            return false;
    }
    return true;
}

} // namespace bandview
