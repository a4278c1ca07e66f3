// One picture of a whole run: bands against time as a heat map of bar heights with the peak
// markers traced over it, and under it the RMS level, the gain and presence against time.
#ifndef BANDVIEW_PICTURE_H
#define BANDVIEW_PICTURE_H

#include "analysis.h"
#include "shell/theme.h"

#include <QColor>
#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

#include <cstdint>

#include <vector>

namespace bandview {

// The picture's size unless --size chooses another, and the smallest it can be drawn at.
constexpr int kDefaultWidthPx = 1356;
constexpr int kDefaultHeightPx = 746;
constexpr int kMinWidthPx = 400;
constexpr int kMinHeightPx = 300;
constexpr float kRmsPlotLowDb = -80.0f;
// Columns of aggregates the picture keeps, whatever the length of the run: twice the widest plot
// of a default picture, so that every pixel column gathers at least one.
constexpr int kPictureColumns = 4096;

struct Section {
    QString name;
    double startSec;
    double endSec;
};

// Everything the picture shows, gathered frame by frame in a fixed amount of memory: per column
// of time and band the mean bar and the highest peak, and per column the mean, lowest and
// highest rmsDb, agcDb and presence. A column spans 1/60 s at first; whenever the run outgrows
// the columns, neighbours merge in pairs and a column spans twice the time.
class PictureData {
public:
    // stereo: the heat map holds the left side's bands above the right side's (TimedFrame::right),
    // and the level panels show the left side; reverse: band 0 at the top of its side.
    PictureData(QString title, int sampleRate, std::vector<float> bandCentersHz,
        std::vector<Section> sections = {}, bool stereo = false, bool reverse = false);
    // Values that are not finite count as 0.
    void add(const TimedFrame& f);

    struct Line {
        float sum = 0.0f;
        float low = 0.0f;
        float high = 0.0f;
    };
    struct Column {
        int frames = 0;
        double timeSum = 0.0;
        std::vector<float> barSum;
        std::vector<float> peakMax;
        Line rms;
        Line agc;
        Line presence;
        // Frames that started a beat.
        int onsets = 0;
    };

    const QString& title() const { return title_; }
    int sampleRate() const { return sampleRate_; }
    // The heat map's rows from the bottom up: the centre of the band each shows.
    const std::vector<float>& bandCentersHz() const { return bandCentersHz_; }
    const std::vector<Section>& sections() const { return sections_; }
    // Audio time of the last frame, and how many frames came.
    double lengthSec() const { return lengthSec_; }
    std::int64_t frameCount() const { return frameCount_; }
    double columnSec() const { return columnSec_; }
    const std::vector<Column>& columns() const { return columns_; }

private:
    void mergePairs();
    // The heat map's row (from the bottom) of a band of one side (0 left or mono, 1 right).
    int rowOf(int side, int band) const;

    QString title_;
    int sampleRate_;
    std::vector<float> bandCentersHz_;
    std::vector<Section> sections_;
    int bands_;
    bool stereo_;
    bool reverse_;
    double lengthSec_ = 0.0;
    std::int64_t frameCount_ = 0;
    double columnSec_;
    std::vector<Column> columns_;
};

// Where everything lies in a picture of the given size; the drawing and its tests share it.
class PictureLayout {
public:
    PictureLayout(
        int bandCount, double lengthSec, QSize size = QSize(kDefaultWidthPx, kDefaultHeightPx));
    // False when the size leaves no room for the plots (below kMinWidthPx x kMinHeightPx).
    static bool fits(QSize size);
    QSize size() const { return size_; }
    int plotWidth() const;
    QRect heatMap() const;
    // Band 0 lies at the bottom of the heat map, the way a spectrum is read.
    QRect bandRow(int band) const;
    QRect rmsPanel() const;
    QRect agcPanel() const;
    QRect presencePanel() const;
    // Horizontal position of audio time sec from the left edge of the plots, 0..plotWidth().
    double xAt(double sec) const;
    // Pixel column of the heat map and the panels that holds audio time sec.
    int columnAt(double sec) const;

private:
    int bandCount_;
    double lengthSec_;
    QSize size_;
    int bandRowPx_;
    int panelPx_;
};

// Bar height 0..1 to the classic heat map's colour: dark for 0, bright for 1, lightness rising
// steadily.
QColor heatColor(float level);

// A theme's heat map: its heat scale where it has one; else from the background (black without
// one) at 0 up through the bars' colours at 1, or, with the bars' gradient across the bands, from
// the background to the band's own colour.
class HeatScale {
public:
    explicit HeatScale(const shell::Theme& theme);
    // bandShare: the band's place from the lowest (0) to the highest (1).
    QColor at(float level, float bandShare) const;

private:
    shell::Gradient levels_;
    shell::Gradient bands_; // no stops: the colour follows the level alone
    shell::Rgb floor_;
};

// The title line of a picture widthPx wide: the name and the run's facts in a bold type of
// fontPx pixels, smaller where the width asks for it, then the name shortened in its middle, so
// that the whole line fits.
struct PictureTitle {
    QString text;
    int fontPx = 0;
};
PictureTitle fitTitle(const PictureData& data, int widthPx);

// Draws with QPainter into an image of the given size (PictureLayout::fits), the heat map and the
// peak traces in theme's colours; needs a QGuiApplication for its fonts, and may run on any thread.
QImage renderPicture(const PictureData& data, QSize size = QSize(kDefaultWidthPx, kDefaultHeightPx),
    const shell::Theme& theme = shell::defaultTheme());

} // namespace bandview

#endif
