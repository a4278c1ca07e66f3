// The data file: one comma-separated row per display frame, under a header row.
#ifndef BANDVIEW_CSV_H
#define BANDVIEW_CSV_H

#include "analysis.h"

#include <QByteArray>

#include <vector>

class QIODevice;

namespace bandview {

// "seq,timeSec,rmsDb,agcDb,presence,bar0,...,peak0,..." with bandCount bars and peaks.
QByteArray csvHeader(int bandCount);
// Numbers in their shortest form that reads back to the same float (or double, for the time).
QByteArray csvRow(const TimedFrame& f);
// Writes the header and every frame; false when the device refuses the data.
bool writeCsv(QIODevice& out, int bandCount, const std::vector<TimedFrame>& frames);

} // namespace bandview

#endif
