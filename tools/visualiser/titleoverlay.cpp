#include "titleoverlay.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

namespace visualiser {

namespace {

    // The text's height against the visual's, and its bounds in pixels, so that it reads on a
    // small window and does not shout on a large one.
    constexpr double kTextShareOfHeight = 0.045;
    constexpr int kMinTextPx = 11;
    constexpr int kMaxTextPx = 40;
    constexpr double kPaddingShareOfText = 0.6;
    constexpr double kMaxWidthShare = 0.9;

    QFont titleFont(int visualHeight)
    {
        QFont font;
        font.setPixelSize(
            std::clamp(int(visualHeight * kTextShareOfHeight), kMinTextPx, kMaxTextPx));
        font.setBold(true);
        return font;
    }

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
    const QFontMetrics metrics(titleFont(visual_->height()));
    const int pad = int(metrics.height() * kPaddingShareOfText);
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
    painter.fillRect(QRect(QPoint(0, 0), size()), QColor(0, 0, 0, 200));
    painter.setFont(titleFont(visual_->height()));
    painter.setPen(QColor(235, 235, 235));
    const QFontMetrics metrics(painter.font());
    const QString shown = metrics.elidedText(text_, Qt::ElideRight, width() - metrics.height());
    painter.drawText(QRect(QPoint(0, 0), size()), Qt::AlignCenter, shown);
}

} // namespace visualiser
