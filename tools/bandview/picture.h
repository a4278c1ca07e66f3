// One picture of a whole run: bands against time as a heat map of bar heights with the peak
// markers traced over it, and under it the RMS level, the gain and presence against time.
#ifndef BANDVIEW_PICTURE_H
#define BANDVIEW_PICTURE_H

#include "analysis.h"

#include <QColor>
#include <QImage>
#include <QRect>
#include <QString>

#include <vector>

namespace bandview {

constexpr int kPlotWidthPx = 1200;
constexpr int kBandRowPx = 12;
constexpr int kLinePanelPx = 90;
constexpr float kRmsPlotLowDb = -80.0f;

struct Section {
    QString name;
    double startSec;
    double endSec;
};

struct PictureInput {
    // Names the input in the title ("built-in demo", a file name).
    QString title;
    int sampleRate = 0;
    double lengthSec = 0.0;
    std::vector<float> bandCentersHz;
    std::vector<Section> sections;
    const std::vector<TimedFrame>* frames = nullptr;
};

// Where everything lies in the picture; the drawing and its tests share it.
class PictureLayout {
public:
    PictureLayout(int bandCount, double lengthSec);
    QSize size() const;
    QRect heatMap() const;
    // Band 0 lies at the bottom of the heat map, the way a spectrum is read.
    QRect bandRow(int band) const;
    QRect rmsPanel() const;
    QRect agcPanel() const;
    QRect presencePanel() const;
    // Horizontal position of audio time sec from the left edge of the plots, 0..kPlotWidthPx.
    double xAt(double sec) const;
    // Pixel column of the heat map and the panels that holds audio time sec.
    int columnAt(double sec) const;
    // Audio time span [first, last) of a pixel column.
    double columnStartSec(int column) const;

private:
    int bandCount_;
    double lengthSec_;
};

// Bar height 0..1 to the heat map's colour: dark for 0, bright for 1, lightness rising steadily.
QColor heatColor(float level);

// Draws with QPainter into an image; needs a QGuiApplication for its fonts.
QImage renderPicture(const PictureInput& input);

} // namespace bandview

#endif
