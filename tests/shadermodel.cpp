#include "shadermodel.h"

#include <algorithm>
#include <cmath>

namespace shadermodel {

namespace {

    float dot(Vec3 a, Vec3 b)
    {
        return a.x * b.x + a.y * b.y + a.z * b.z;
    }
    float dot(Vec4 a, Vec4 b)
    {
        return a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w;
    }
    float length(Vec2 a)
    {
        return std::sqrt(a.x * a.x + a.y * a.y);
    }

    Vec2 normalize(Vec2 a)
    {
        const float l = length(a);
        return { a.x / l, a.y / l };
    }

    float clampf(float x, float lo, float hi)
    {
        return std::min(std::max(x, lo), hi);
    }
    float mixf(float a, float b, float t)
    {
        return a + (b - a) * t;
    }

    float smoothstepf(float e0, float e1, float x)
    {
        const float t = clampf((x - e0) / (e1 - e0), 0.0f, 1.0f);
        return t * t * (3.0f - 2.0f * t);
    }

    Vec3 floor3(Vec3 a)
    {
        return { std::floor(a.x), std::floor(a.y), std::floor(a.z) };
    }
    Vec4 floor4(Vec4 a)
    {
        return { std::floor(a.x), std::floor(a.y), std::floor(a.z), std::floor(a.w) };
    }
    Vec4 add(Vec4 a, float s)
    {
        return { a.x + s, a.y + s, a.z + s, a.w + s };
    }

    Vec3 mod289(Vec3 y)
    {
        return y - floor3(y * 0.0034602077f) * 289.0f;
    }
    Vec4 mod289(Vec4 y)
    {
        return y - floor4(y * 0.0034602077f) * 289.0f;
    }
    Vec4 permute(Vec4 y)
    {
        return mod289(add(y * 34.0f, 1.0f) * y);
    }
    float taylorInvSqrt(float r)
    {
        return 1.7928429f - 0.85373473f * r;
    }

    // 1 where edge <= x, else 0: GLSL's step.
    float stepf(float edge, float x)
    {
        return x < edge ? 0.0f : 1.0f;
    }

    Vec4 texel(const Image& image, int x, int y)
    {
        x = std::clamp(x, 0, image.width - 1);
        y = std::clamp(y, 0, image.height - 1);
        return image.at(x, y);
    }

    Vec4 project(const float m[16], Vec3 p)
    {
        const float v[4] = { p.x, p.y, p.z, 1.0f };
        float r[4];
        for (int i = 0; i < 4; ++i)
            r[i] = m[i] * v[0] + m[4 + i] * v[1] + m[8 + i] * v[2] + m[12 + i] * v[3];
        return { r[0], r[1], r[2], r[3] };
    }

    Vec3 hue2rgb(float h)
    {
        auto channel = [](float shifted) {
            const float f = shifted - std::floor(shifted);
            return clampf(std::fabs(f * 6.0f - 3.0f) - 1.0f, 0.0f, 1.0f);
        };
        return { channel(h + 1.0f), channel(h + 0.6666667f), channel(h + 0.33333334f) };
    }

} // namespace

Vec4 sample(const Image& image, Vec2 uv, Filter filter)
{
    const float x = uv.x * float(image.width);
    const float y = uv.y * float(image.height);
    if (filter == Filter::Nearest)
        return texel(image, int(std::floor(x)), int(std::floor(y)));
    const float sx = x - 0.5f;
    const float sy = y - 0.5f;
    const int x0 = int(std::floor(sx));
    const int y0 = int(std::floor(sy));
    const float fx = sx - float(x0);
    const float fy = sy - float(y0);
    const Vec4 top = texel(image, x0, y0) * (1.0f - fx) + texel(image, x0 + 1, y0) * fx;
    const Vec4 bottom = texel(image, x0, y0 + 1) * (1.0f - fx) + texel(image, x0 + 1, y0 + 1) * fx;
    return top * (1.0f - fy) + bottom * fy;
}

Vec2 fullscreenUv(int column, int row, int width, int height)
{
    return { (float(column) + 0.5f) / float(width), 1.0f - (float(row) + 0.5f) / float(height) };
}

float luma(Vec4 c)
{
    return 0.2126f * c.x + 0.7152f * c.y + 0.0722f * c.z;
}

Vec4 bright(const PostUniforms& u, const Image& source, Filter filter, Vec2 uv)
{
    const Vec4 c = sample(source, uv, filter);
    const float t = smoothstepf(u.threshold, u.threshold + std::max(u.knee, 0.0001f), luma(c));
    return c * t;
}

Vec4 blur(const PostUniforms& u, const Image& source, Filter filter, Vec2 uv)
{
    const Vec2 axis = u.direction < 0.5f ? Vec2 { 1, 0 } : Vec2 { 0, 1 };
    const Vec2 stride = axis * Vec2 { u.texelSize[0], u.texelSize[1] };
    Vec4 sum = sample(source, uv, filter) * 0.22702703f;
    const float offsets[2] = { 1.3846154f, 3.2307692f };
    const float weights[2] = { 0.31621623f, 0.07027027f };
    for (int k = 0; k < 2; ++k) {
        sum = sum + sample(source, uv + stride * offsets[k], filter) * weights[k];
        sum = sum + sample(source, uv - stride * offsets[k], filter) * weights[k];
    }
    return sum;
}

Vec4 rays(const PostUniforms& u, const Image& source, Filter filter, Vec2 uv)
{
    const Vec2 toCentre = Vec2 { 0.5f, 0.5f } - uv;
    const Vec2 stride = toCentre * (u.rayLength / 24.0f);
    Vec4 sum;
    float weight = 1.0f;
    float total = 0.0f;
    Vec2 at = uv;
    for (int k = 0; k < 24; ++k) {
        sum = sum + sample(source, at, filter) * weight;
        total += weight;
        weight *= u.rayDecay;
        at = at + stride;
    }
    return total > 0.0f ? sum * (1.0f / total) : Vec4 {};
}

Vec4 composite(const PostUniforms& u, const Image& source, const Image& bloom, const Image& rays,
    Filter filter, Vec2 uv)
{
    return composite(u, source, filter, bloom, rays, filter, uv);
}

Vec4 composite(const PostUniforms& u, const Image& source, Filter sourceFilter, const Image& bloom,
    const Image& rays, Filter filter, Vec2 uv)
{
    const Vec2 fromCentre = uv - Vec2 { 0.5f, 0.5f };
    const float r = length(fromCentre);
    const Vec2 dir = r > 0.0001f ? fromCentre * (1.0f / r) : Vec2 {};
    const float shift = u.dispersion * r * r;
    const float coreShift = shift * 0.15f;

    auto separated = [&](const Image& image, Filter f, Vec2 displacement) {
        Vec4 c = sample(image, uv, f);
        c.x = sample(image, uv - displacement, f).x;
        c.z = sample(image, uv + displacement, f).z;
        return c;
    };
    const Vec4 base = separated(source, sourceFilter, dir * coreShift);
    const Vec4 glow = separated(bloom, filter, dir * (shift * 2.0f));
    const Vec4 ray = separated(rays, filter, dir * (shift * 2.0f));

    const float rayGain = u.radialBlur * 8.0f;
    const Vec4 sum = base + glow * u.intensity + ray * rayGain;
    const float a = clampf(sum.w, 0.0f, 1.0f);
    return { std::min(sum.x, a), std::min(sum.y, a), std::min(sum.z, a), a };
}

float snoise(Vec3 v)
{
    const float sixth = 0.16666667f;
    const float third = 0.33333334f;

    Vec3 i = floor3(v + Vec3 { 1, 1, 1 } * dot(v, Vec3 { third, third, third }));
    const Vec3 x0 = v - i + Vec3 { 1, 1, 1 } * dot(i, Vec3 { sixth, sixth, sixth });

    const Vec3 g { stepf(x0.y, x0.x), stepf(x0.z, x0.y), stepf(x0.x, x0.z) };
    const Vec3 l { 1.0f - g.x, 1.0f - g.y, 1.0f - g.z };
    const Vec3 i1 { std::min(g.x, l.z), std::min(g.y, l.x), std::min(g.z, l.y) };
    const Vec3 i2 { std::max(g.x, l.z), std::max(g.y, l.x), std::max(g.z, l.y) };
    const Vec3 x1 = x0 - i1 + Vec3 { sixth, sixth, sixth };
    const Vec3 x2 = x0 - i2 + Vec3 { third, third, third };
    const Vec3 x3 = x0 - Vec3 { 0.5f, 0.5f, 0.5f };

    i = mod289(i);
    Vec4 p = permute(add(Vec4 { 0.0f, i1.z, i2.z, 1.0f }, i.z));
    p = permute(add(p, i.y) + Vec4 { 0.0f, i1.y, i2.y, 1.0f });
    p = permute(add(p, i.x) + Vec4 { 0.0f, i1.x, i2.x, 1.0f });

    const float seventh = 0.14285715f;
    const Vec3 ns { 2.0f * seventh, 0.5f * seventh - 1.0f, seventh };
    const Vec4 j = p - floor4(p * ns.z * ns.z) * 49.0f;
    const Vec4 gx = floor4(j * ns.z);
    const Vec4 gy = floor4(j - gx * 7.0f);
    const Vec4 x = add(gx * ns.x, ns.y);
    const Vec4 y = add(gy * ns.x, ns.y);
    const Vec4 h { 1.0f - std::fabs(x.x) - std::fabs(y.x), 1.0f - std::fabs(x.y) - std::fabs(y.y),
        1.0f - std::fabs(x.z) - std::fabs(y.z), 1.0f - std::fabs(x.w) - std::fabs(y.w) };

    const Vec4 b0 { x.x, x.y, y.x, y.y };
    const Vec4 b1 { x.z, x.w, y.z, y.w };
    const Vec4 s0 = add(floor4(b0) * 2.0f, 1.0f);
    const Vec4 s1 = add(floor4(b1) * 2.0f, 1.0f);
    const Vec4 sh { -stepf(h.x, 0.0f), -stepf(h.y, 0.0f), -stepf(h.z, 0.0f), -stepf(h.w, 0.0f) };
    const Vec4 a0 = Vec4 { b0.x, b0.z, b0.y, b0.w }
        + Vec4 { s0.x, s0.z, s0.y, s0.w } * Vec4 { sh.x, sh.x, sh.y, sh.y };
    const Vec4 a1 = Vec4 { b1.x, b1.z, b1.y, b1.w }
        + Vec4 { s1.x, s1.z, s1.y, s1.w } * Vec4 { sh.z, sh.z, sh.w, sh.w };

    Vec3 g0 { a0.x, a0.y, h.x };
    Vec3 g1 { a0.z, a0.w, h.y };
    Vec3 g2 { a1.x, a1.y, h.z };
    Vec3 g3 { a1.z, a1.w, h.w };
    g0 = g0 * taylorInvSqrt(dot(g0, g0));
    g1 = g1 * taylorInvSqrt(dot(g1, g1));
    g2 = g2 * taylorInvSqrt(dot(g2, g2));
    g3 = g3 * taylorInvSqrt(dot(g3, g3));

    Vec4 m { std::max(0.6f - dot(x0, x0), 0.0f), std::max(0.6f - dot(x1, x1), 0.0f),
        std::max(0.6f - dot(x2, x2), 0.0f), std::max(0.6f - dot(x3, x3), 0.0f) };
    m = m * m;
    return 42.0f * dot(m * m, Vec4 { dot(g0, x0), dot(g1, x1), dot(g2, x2), dot(g3, x3) });
}

Vec3 rainbow(float t)
{
    const Vec3 c = hue2rgb(clampf(t, 0.0f, 1.0f) * 0.8333333f);
    return { 0.15f + 0.85f * c.x, 0.15f + 0.85f * c.y, 0.15f + 0.85f * c.z };
}

StrandResult strandVertex(
    const StrandUniforms& u, const Image& audio, Filter filter, const StrandVertex& v, int instance)
{
    StrandResult out;
    const float x = v.position.x;
    const float index = u.strandCount > 1.0f ? float(instance) / (u.strandCount - 1.0f) : 0.0f;

    const float level = sample(audio, { x * 0.5f + 0.5f, 0.5f }, filter).x;
    const float f = clampf(level * u.audioGain, 0.0f, 1.0f);
    const float pinch = smoothstepf(0.0f, 0.5f, 1.0f - std::fabs(x));

    const float angleOffset = index * 3.1415927f * mixf(0.5f, 1.5f, f);
    const float angle = 6.2831855f * x * u.twists + angleOffset + u.time;

    auto turb = [&](float alpha, float scale, float offset) {
        return alpha * snoise({ x * scale, angle, offset });
    };
    float computedRadius = u.radius;
    computedRadius += turb(f * 0.5f, 1.0f, u.time * 0.2f);
    computedRadius += turb(0.1f, 6.0f, u.time * 0.25f);
    computedRadius += turb(0.1f, 2.5f, u.time * 0.5f);
    computedRadius *= pinch;
    computedRadius *= mixf(0.65f, 1.0f, f);

    const Vec3 offset { 0.0f, std::cos(angle) * computedRadius, std::sin(angle) * computedRadius };
    const Vec4 current = project(u.mvp, v.position + offset);
    const Vec4 before = project(u.mvp, v.previous + offset);
    const Vec4 after = project(u.mvp, v.next + offset);
    auto toScreen = [&](Vec4 c) { return Vec2 { c.x / c.w * u.aspect, c.y / c.w }; };
    const Vec2 screenCurrent = toScreen(current);
    const Vec2 screenBefore = toScreen(before);
    const Vec2 screenAfter = toScreen(after);

    const bool firstPoint = screenCurrent.x == screenBefore.x && screenCurrent.y == screenBefore.y;
    const Vec2 dir = firstPoint ? normalize(screenAfter - screenCurrent)
                                : normalize(screenCurrent - screenBefore);
    Vec2 normal = Vec2 { -dir.y, dir.x } * (u.thickness * pinch / 2.0f);
    normal.x /= u.aspect;

    out.clip = current + Vec4 { normal.x * v.direction, normal.y * v.direction, 0.0f, 0.0f };

    Vec3 rgb;
    if (u.colorA[3] > 0.5f) {
        const float halfExtent = std::max(u.colorB[3], 0.0001f);
        const float depth = (current.z / current.w - 0.5f) / (2.0f * halfExtent);
        rgb = rainbow(clampf(depth + 0.5f, 0.0f, 1.0f));
    } else {
        const float t = x * 0.5f + 0.5f;
        rgb = { mixf(u.colorA[0], u.colorB[0], t), mixf(u.colorA[1], u.colorB[1], t),
            mixf(u.colorA[2], u.colorB[2], t) };
    }
    const float a = u.opacity * mixf(0.35f, 1.0f, f) * pinch;
    out.color = { rgb.x * a, rgb.y * a, rgb.z * a, a };

    out.centre = current;
    out.frequencies = f;
    out.pinch = pinch;
    out.angle = angle;
    out.computedRadius = computedRadius;
    return out;
}

} // namespace shadermodel
