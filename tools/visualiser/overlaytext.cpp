#include "overlaytext.h"

#include <algorithm>

namespace visualiser {

namespace {

    constexpr double kTextShareOfHeight = 0.045;
    constexpr int kMinTextPx = 11;
    constexpr int kMaxTextPx = 40;

} // namespace

QFont overlayFont(int visualHeight)
{
    QFont font;
    font.setPixelSize(std::clamp(int(visualHeight * kTextShareOfHeight), kMinTextPx, kMaxTextPx));
    font.setBold(true);
    return font;
}

} // namespace visualiser
