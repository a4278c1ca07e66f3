#include "titleoverlay.h"

#include "overlaytext.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

namespace visualiser {

namespace {

    // The widest box a long title takes, against the visual's width; the rest is elided.
    constexpr double kMaxWidthShare = 0.9;

} // namespace

TitleOverlay::TitleOverlay(QWindow* visual)
    : QRasterWindow(visual)
    , visual_(visual)
{
    setFlags(
        Qt::FramelessWindowHint | Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus);
    hide_.setSingleShot(true);
    hide_.setInterval(kTitleShowMs);
    connect(&hide_, &QTimer::timeout, this, &QWindow::hide);
}

void TitleOverlay::show(const QString& text)
{
    text_ = text;
    setTitle(QStringLiteral("title: ") + text);
    const QFontMetrics metrics(overlayFont(visual_->height()));
    const int pad = int(metrics.height() * kOverlayPaddingShareOfText);
    const int width = std::min(
        metrics.horizontalAdvance(text) + 2 * pad, int(visual_->width() * kMaxWidthShare));
    const int height = metrics.height() + pad;
    setGeometry(pad, visual_->height() - height - pad, std::max(width, 1), height);
    QRasterWindow::show();
    update();
    hide_.start();
}

void TitleOverlay::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(QRect(QPoint(0, 0), size()), kOverlayBox);
    painter.setFont(overlayFont(visual_->height()));
    painter.setPen(kOverlayText);
    const QFontMetrics metrics(painter.font());
    const QString shown = metrics.elidedText(text_, Qt::ElideRight, width() - metrics.height());
    painter.drawText(QRect(QPoint(0, 0), size()), Qt::AlignCenter, shown);
}

} // namespace visualiser
