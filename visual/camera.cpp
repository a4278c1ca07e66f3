#include "visual/camera.h"

#include <algorithm>
#include <cmath>

namespace visual {

Framing Camera::framing(float aspect)
{
    const double a = std::max(double(aspect), 1e-3);
    const double d = kCameraDistance;
    // In units of half the picture's height: half the longer side is max(a, 1), of the shorter
    // min(a, 1). A point at radius r is seen at most r / sqrt(d^2 - r^2) off the axis, on the
    // tangent from the eye.
    const double alongZoom = kLengthFill * std::max(a, 1.0) * d;
    const auto acrossZoom = [&](double flatten) {
        const double r = kFigureRadius * flatten;
        return kAcrossFill * std::min(a, 1.0) * std::sqrt(d * d - r * r) / r;
    };
    double flatten = 1.0;
    // The swing's reach grows slightly faster than the flattening: a few steps settle it.
    for (int step = 0; step < 4; ++step)
        flatten = std::clamp(flatten * acrossZoom(flatten) / alongZoom, double(kMinFlatten), 1.0);
    return { float(std::min(alongZoom, acrossZoom(flatten))), float(flatten) };
}

std::array<float, 16> Camera::mvp(float aspect) const
{
    aspect = std::max(aspect, 1e-3f);
    const Framing fit = framing(aspect);
    const double g = fit.zoom;
    const double sx = g / aspect;
    const double k = fit.flatten;
    const double d = kCameraDistance;
    const double n = kNearPlane;
    const double fa = kFarPlane;
    const bool upright = aspect < 1.0f;
    // Rows of projection x translation(0, 0, -d) x the model's turn and flattening: the eye looks
    // down -z at the origin; upright, model x runs up the picture and model y to the left.
    double rows[4][4] = {
        { upright ? 0 : sx, upright ? -sx * k : 0, 0, 0 },
        { upright ? g : 0, upright ? 0 : g * k, 0, 0 },
        { 0, 0, k * fa / (n - fa), -d * fa / (n - fa) + n * fa / (n - fa) },
        { 0, 0, -k, d },
    };
    for (int c = 0; c < 4; ++c)
        rows[1][c] += double(lensShiftY) * rows[3][c];
    if (flipY)
        for (double& v : rows[1])
            v = -v;
    std::array<float, 16> m {};
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r)
            m[size_t(c * 4 + r)] = float(rows[r][c]);
    return m;
}

} // namespace visual
