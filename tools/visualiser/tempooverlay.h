// The tempo over the visual, at its upper right, in the window only (renders never carry it):
// "128 BPM", or "no tempo" while none is known, lit for a moment on each beat.
//
// Contract: a child window of the visual's, drawn with QPainter, that takes neither input nor
// focus. While on it looks at the LookSource every kTempoLookMs and repaints only when the text or
// the light changes; the beat and the tempo are those of the picture that shows (held back as the
// picture is). Its window title is "tempo: " and the text, for tools that look for it.
#ifndef VISUALISER_TEMPOOVERLAY_H
#define VISUALISER_TEMPOOVERLAY_H

#include "following.h"

#include <QElapsedTimer>
#include <QRasterWindow>
#include <QTimer>

#include <cstdint>

namespace visualiser {

constexpr int kTempoLookMs = 20;
constexpr int kTempoFlashMs = 120;

class TempoOverlay : public QRasterWindow {
public:
    TempoOverlay(QWindow* visual, const LookSource& source);
    void setOn(bool on);
    bool on() const { return look_.isActive(); }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    void lookAgain();
    void place();

    QWindow* visual_;
    const LookSource& source_;
    QTimer look_;
    QElapsedTimer clock_;
    QString text_;
    std::int64_t beats_ = -1;
    qint64 litUntilMs_ = 0;
    bool lit_ = false;
};

// "128 BPM" for a tempo, rounded to the beat; "no tempo" for 0.
QString tempoText(float bpm);

} // namespace visualiser

#endif
