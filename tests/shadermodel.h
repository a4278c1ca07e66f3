// A CPU model of what the pack's shaders compute, written from their formulas in single precision,
// so that a rendered picture can be checked pixel by pixel and a strand vertex value by value.
#pragma once

#include "visual/uniforms.h"

#include <cstddef>
#include <vector>

namespace shadermodel {

// The blocks the shaders read are the renderer's own.
using visual::PostUniforms;
using visual::StrandUniforms;

struct Vec2 {
    float x = 0, y = 0;
};

struct Vec3 {
    float x = 0, y = 0, z = 0;
};

struct Vec4 {
    float x = 0, y = 0, z = 0, w = 0;
};

inline Vec2 operator+(Vec2 a, Vec2 b)
{
    return { a.x + b.x, a.y + b.y };
}
inline Vec2 operator-(Vec2 a, Vec2 b)
{
    return { a.x - b.x, a.y - b.y };
}
inline Vec2 operator*(Vec2 a, float s)
{
    return { a.x * s, a.y * s };
}
inline Vec2 operator*(Vec2 a, Vec2 b)
{
    return { a.x * b.x, a.y * b.y };
}
inline Vec3 operator+(Vec3 a, Vec3 b)
{
    return { a.x + b.x, a.y + b.y, a.z + b.z };
}
inline Vec3 operator-(Vec3 a, Vec3 b)
{
    return { a.x - b.x, a.y - b.y, a.z - b.z };
}
inline Vec3 operator*(Vec3 a, float s)
{
    return { a.x * s, a.y * s, a.z * s };
}
inline Vec4 operator+(Vec4 a, Vec4 b)
{
    return { a.x + b.x, a.y + b.y, a.z + b.z, a.w + b.w };
}
inline Vec4 operator-(Vec4 a, Vec4 b)
{
    return { a.x - b.x, a.y - b.y, a.z - b.z, a.w - b.w };
}
inline Vec4 operator*(Vec4 a, float s)
{
    return { a.x * s, a.y * s, a.z * s, a.w * s };
}
inline Vec4 operator*(Vec4 a, Vec4 b)
{
    return { a.x * b.x, a.y * b.y, a.z * b.z, a.w * b.w };
}

// Texel rows are stored in upload order: row 0 lies at texture coordinate v = 0.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<Vec4> texels;

    Image() = default;
    Image(int w, int h, Vec4 fill = {})
        : width(w)
        , height(h)
        , texels(std::size_t(w) * h, fill)
    {
    }
    Vec4& at(int x, int y) { return texels[std::size_t(y) * width + x]; }
    const Vec4& at(int x, int y) const { return texels[std::size_t(y) * width + x]; }
};

enum class Filter { Nearest, Linear };

// What a 2D sampler with clamp-to-edge addressing and no mipmaps returns at uv.
Vec4 sample(const Image& image, Vec2 uv, Filter filter);

// The vUv that the full-screen triangle gives the pixel in `column` and read-back `row` of a
// width x height target: rows count from clip y = -1.
Vec2 fullscreenUv(int column, int row, int width, int height);

float luma(Vec4 c);
Vec4 bright(const PostUniforms& u, const Image& source, Filter filter, Vec2 uv);
Vec4 blur(const PostUniforms& u, const Image& source, Filter filter, Vec2 uv);
Vec4 rays(const PostUniforms& u, const Image& source, Filter filter, Vec2 uv);
Vec4 composite(const PostUniforms& u, const Image& source, const Image& bloom, const Image& rays,
    Filter filter, Vec2 uv);
// The same with the scene (source) read through a sampler of its own.
Vec4 composite(const PostUniforms& u, const Image& source, Filter sourceFilter, const Image& bloom,
    const Image& rays, Filter filter, Vec2 uv);

struct StrandVertex {
    Vec3 position;
    Vec3 previous;
    Vec3 next;
    float direction = 0;
};

// The vertex shader's result, with the intermediate values a failure report wants to show.
struct StrandResult {
    Vec4 clip; // gl_Position
    Vec4 color; // vColor
    Vec4 centre; // the projected point before the ribbon offset
    float frequencies = 0;
    float pinch = 0;
    float angle = 0;
    float computedRadius = 0;
};

StrandResult strandVertex(const StrandUniforms& u, const Image& audio, Filter filter,
    const StrandVertex& v, int instance);

float snoise(Vec3 v);
Vec3 rainbow(float t);

} // namespace shadermodel
