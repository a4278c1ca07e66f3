#include "tempooverlay.h"

#include "overlaytext.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace visualiser {

namespace {

    // The widest text sets the box, so that it does not jump as the tempo changes.
    constexpr const char* kWidestText = "000 BPM";

} // namespace

QString tempoText(float bpm)
{
    if (!(bpm > 0.0f))
        return QStringLiteral("no tempo");
    return QStringLiteral("%1 BPM").arg(std::lround(bpm));
}

TempoOverlay::TempoOverlay(QWindow* visual, const LookSource& source)
    : QRasterWindow(visual)
    , visual_(visual)
    , source_(source)
{
    setFlags(
        Qt::FramelessWindowHint | Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus);
    look_.setInterval(kTempoLookMs);
    connect(&look_, &QTimer::timeout, this, [this] { lookAgain(); });
    // The box keeps to the visual's corner, sized to it, as the visual changes size.
    connect(visual, &QWindow::widthChanged, this, [this] { place(); });
    connect(visual, &QWindow::heightChanged, this, [this] { place(); });
    clock_.start();
}

void TempoOverlay::setOn(bool on)
{
    if (on == this->on())
        return;
    if (!on) {
        look_.stop();
        hide();
        return;
    }
    text_.clear();
    beats_ = -1;
    lookAgain();
    place();
    show();
    look_.start();
}

void TempoOverlay::place()
{
    const QFontMetrics metrics(overlayFont(visual_->height()));
    const int pad = int(metrics.height() * kOverlayPaddingShareOfText);
    const int width = std::max(metrics.horizontalAdvance(QString::fromLatin1(kWidestText)),
                          metrics.horizontalAdvance(tempoText(0.0f)))
        + 2 * pad;
    const int height = metrics.height() + pad;
    setGeometry(std::max(visual_->width() - width - pad, 0), pad, width, height);
}

void TempoOverlay::lookAgain()
{
    const ShownBeat beat = source_.shownBeat();
    const qint64 nowMs = clock_.elapsed();
    // The first look only learns the count: a beat heard before the overlay came on is no flash.
    if (beats_ >= 0 && beat.beats != beats_)
        litUntilMs_ = nowMs + kTempoFlashMs;
    beats_ = beat.beats;
    const bool lit = nowMs < litUntilMs_;
    const QString text = tempoText(beat.bpm);
    if (text == text_ && lit == lit_)
        return;
    if (text != text_)
        setTitle(QStringLiteral("tempo: ") + text);
    text_ = text;
    lit_ = lit;
    update();
}

void TempoOverlay::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(QRect(QPoint(0, 0), size()), lit_ ? kOverlayText : kOverlayBox);
    painter.setFont(overlayFont(visual_->height()));
    painter.setPen(lit_ ? Qt::black : kOverlayText);
    painter.drawText(QRect(QPoint(0, 0), size()), Qt::AlignCenter, text_);
}

} // namespace visualiser
