// The track's title over the visual for a few seconds when a track starts, in the window only
// (renders never carry it).
//
// Contract: a child window of the visual's, drawn with QPainter in a box at its lower left that
// takes neither input nor focus, so keys and clicks still reach the visual. show() puts the text
// up (sized to the visual's height) and starts the clock again; it hides kTitleShowMs later. Its
// window title is "title: " and the text, for tools that look for it.
#ifndef VISUALISER_TITLEOVERLAY_H
#define VISUALISER_TITLEOVERLAY_H

#include <QRasterWindow>
#include <QString>
#include <QTimer>

namespace visualiser {

constexpr int kTitleShowMs = 4000;

class TitleOverlay : public QRasterWindow {
public:
    explicit TitleOverlay(QWindow* visual);
    void show(const QString& text);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QWindow* visual_;
    QString text_;
    QTimer hide_;
};

} // namespace visualiser

#endif
