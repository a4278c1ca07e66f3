// The data file: one comma-separated row per display frame, under a header row.
#ifndef BANDVIEW_CSV_H
#define BANDVIEW_CSV_H

#include "analysis.h"

#include <QByteArray>

namespace shell {
class OutputFile;
}

namespace bandview {

// "seq,timeSec,rmsDb,agcDb,presence,bar0,...,peak0,...,onset,bpm" with bandCount bars and peaks.
// In the stereo layout each of the five columns after the time comes twice, named for its side:
// "seq,timeSec,left.rmsDb,...,left.peak27,right.rmsDb,...,onset,bpm". onset is 1 on a frame that
// starts a beat, else 0, and bpm the tempo, 0 while none is known (dsp/beattracker.h), both from
// the two sides together. New columns only ever come last, so that readers of the old ones keep
// working.
QByteArray csvHeader(int bandCount, bool stereo = false);
// Numbers in their shortest form that reads back to the same float (or double, for the time). A
// value that is not finite, which the core never gives, is written as 0 or the largest finite
// number of its sign, so that a reader never meets "nan" or "inf".
QByteArray csvRow(const TimedFrame& f, bool stereo = false);
// The same row appended to line.
void appendCsvRow(QByteArray& line, const TimedFrame& f, bool stereo = false);

// Writes the rows as the frames come, so that the data file costs no memory however long the
// run. Where the output streams (standard output, a pipe) every row is handed on as it is made; a
// FIFO's next reader, after one that went away, gets the header row first.
class CsvWriter {
public:
    // stereo: both sides of each frame (TimedFrame::right).
    CsvWriter(shell::OutputFile& out, int bandCount, bool stereo = false);
    // False once the output failed (its error() says why).
    bool add(const TimedFrame& f);

private:
    shell::OutputFile& out_;
    bool stereo_;
    bool ok_;
    QByteArray row_;
};

} // namespace bandview

#endif
