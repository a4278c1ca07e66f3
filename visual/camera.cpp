#include "visual/camera.h"

#include <algorithm>
#include <cmath>

namespace visual {

namespace {

    constexpr double kPi = 3.14159265358979323846;

    double tanHalfFov()
    {
        return std::tan(double(kFieldOfViewDeg) * kPi / 360.0);
    }

} // namespace

float Camera::distance(float aspect) const
{
    const double fit = double(kHalfSpan) / (tanHalfFov() * std::max(double(aspect), 1e-3));
    return float(std::max(double(kCameraDistance), fit));
}

std::array<float, 16> Camera::mvp(float aspect) const
{
    aspect = std::max(aspect, 1e-3f);
    const double f = 1.0 / tanHalfFov();
    const double d = distance(aspect);
    const double n = kNearPlane;
    const double fa = kFarPlane;
    // Rows of projection x translation(0, 0, -d): the eye looks down -z at the origin.
    double rows[4][4] = {
        { f / aspect, 0, 0, 0 },
        { 0, f, 0, 0 },
        { 0, 0, fa / (n - fa), -d * fa / (n - fa) + n * fa / (n - fa) },
        { 0, 0, -1, d },
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
