#version 440

// Strands: every instance is one ribbon wound as a helix around the model x axis. The radius
// follows the audio level along the strand and is disturbed by simplex noise; the centre line is
// widened into a ribbon in screen space; radius, width and opacity taper to zero at both ends.

layout(location = 0) in vec3 position;
layout(location = 1) in vec3 previous;
layout(location = 2) in vec3 next;
layout(location = 3) in float direction;

layout(location = 0) out vec4 vColor;

layout(std140, binding = 0) uniform Block
{
    mat4 mvp;
    vec4 colorA;
    vec4 colorB;
    float aspect;
    float time;
    float radius;
    float thickness;
    float twists;
    float opacity;
    float strandCount;
    float audioGain;
} u;

layout(binding = 1) uniform sampler2D audioTexture;

const float PI = 3.1415927;
const float TWO_PI = 6.2831855;

// Simplex noise in three dimensions, permutation-polynomial form: no lookup tables, so it runs
// the same in every shading language the pack is translated to.

vec3 mod289(vec3 y)
{
    return y - floor(y * 0.0034602077) * 289.0;
}

vec4 mod289(vec4 y)
{
    return y - floor(y * 0.0034602077) * 289.0;
}

vec4 permute(vec4 y)
{
    return mod289((y * 34.0 + 1.0) * y);
}

vec4 taylorInvSqrt(vec4 r)
{
    return 1.7928429 - 0.85373473 * r;
}

float snoise(vec3 v)
{
    const vec2 C = vec2(0.16666667, 0.33333334);

    // Skew onto the simplex grid and find the cell's first corner.
    vec3 i = floor(v + dot(v, C.yyy));
    vec3 x0 = v - i + dot(i, C.xxx);

    // The other three corners, ordered by which axis of x0 dominates.
    vec3 g = step(x0.yzx, x0.xyz);
    vec3 l = 1.0 - g;
    vec3 i1 = min(g, l.zxy);
    vec3 i2 = max(g, l.zxy);
    vec3 x1 = x0 - i1 + C.xxx;
    vec3 x2 = x0 - i2 + C.yyy;
    vec3 x3 = x0 - 0.5;

    i = mod289(i);
    vec4 p = permute(permute(permute(i.z + vec4(0.0, i1.z, i2.z, 1.0)) + i.y
                             + vec4(0.0, i1.y, i2.y, 1.0))
                     + i.x + vec4(0.0, i1.x, i2.x, 1.0));

    // Gradients: 7x7 points over a square, mapped onto an octahedron.
    const vec3 ns = vec3(2.0, 0.5, 1.0) * 0.14285715 - vec3(0.0, 1.0, 0.0);
    vec4 j = p - 49.0 * floor(p * ns.z * ns.z);
    vec4 gx = floor(j * ns.z);
    vec4 gy = floor(j - 7.0 * gx);
    vec4 x = gx * ns.x + ns.yyyy;
    vec4 y = gy * ns.x + ns.yyyy;
    vec4 h = 1.0 - abs(x) - abs(y);

    vec4 b0 = vec4(x.xy, y.xy);
    vec4 b1 = vec4(x.zw, y.zw);
    vec4 s0 = floor(b0) * 2.0 + 1.0;
    vec4 s1 = floor(b1) * 2.0 + 1.0;
    vec4 sh = -step(h, vec4(0.0));
    vec4 a0 = b0.xzyw + s0.xzyw * sh.xxyy;
    vec4 a1 = b1.xzyw + s1.xzyw * sh.zzww;

    vec3 g0 = vec3(a0.xy, h.x);
    vec3 g1 = vec3(a0.zw, h.y);
    vec3 g2 = vec3(a1.xy, h.z);
    vec3 g3 = vec3(a1.zw, h.w);
    vec4 norm = taylorInvSqrt(vec4(dot(g0, g0), dot(g1, g1), dot(g2, g2), dot(g3, g3)));
    g0 *= norm.x;
    g1 *= norm.y;
    g2 *= norm.z;
    g3 *= norm.w;

    vec4 m = max(0.6 - vec4(dot(x0, x0), dot(x1, x1), dot(x2, x2), dot(x3, x3)), 0.0);
    m = m * m;
    return 42.0 * dot(m * m, vec4(dot(g0, x0), dot(g1, x1), dot(g2, x2), dot(g3, x3)));
}

float turb(float x, float angle, float alpha, float scale, float offset)
{
    return alpha * snoise(vec3(x * scale, angle, offset));
}

vec3 hue2rgb(float h)
{
    return clamp(abs(fract(h + vec3(1.0, 0.6666667, 0.33333334)) * 6.0 - 3.0) - 1.0, 0.0, 1.0);
}

// Red through yellow, green, cyan and blue to magenta; the floor keeps every hue from going dark.
vec3 rainbow(float t)
{
    return 0.15 + 0.85 * hue2rgb(clamp(t, 0.0, 1.0) * 0.8333333);
}

// Screen space made isotropic, so the ribbon keeps its width whatever the viewport's shape.
vec2 toScreen(vec4 clip)
{
    return clip.xy / clip.w * vec2(u.aspect, 1.0);
}

void main()
{
    float x = position.x;
    float index = u.strandCount > 1.0 ? float(gl_InstanceIndex) / (u.strandCount - 1.0) : 0.0;

    float level = textureLod(audioTexture, vec2(x * 0.5 + 0.5, 0.5), 0.0).r;
    float frequencies = clamp(level * u.audioGain, 0.0, 1.0);
    float pinch = smoothstep(0.0, 0.5, 1.0 - abs(x));

    float angleOffset = index * PI * mix(0.5, 1.5, frequencies);
    float angle = TWO_PI * x * u.twists + angleOffset + u.time;

    float computedRadius = u.radius;
    computedRadius += turb(x, angle, frequencies * 0.5, 1.0, u.time * 0.2);
    computedRadius += turb(x, angle, 0.1, 6.0, u.time * 0.25);
    computedRadius += turb(x, angle, 0.1, 2.5, u.time * 0.5);
    computedRadius *= pinch;
    computedRadius *= mix(0.65, 1.0, frequencies);

    vec3 offset = vec3(0.0, cos(angle) * computedRadius, sin(angle) * computedRadius);

    // The neighbours take this point's offset, so the ribbon follows the centre line's direction.
    vec4 current = u.mvp * vec4(position + offset, 1.0);
    vec4 before = u.mvp * vec4(previous + offset, 1.0);
    vec4 after = u.mvp * vec4(next + offset, 1.0);
    vec2 screenCurrent = toScreen(current);
    vec2 screenBefore = toScreen(before);
    vec2 screenAfter = toScreen(after);

    // The first point is its own predecessor and has to look ahead instead.
    vec2 dir = screenCurrent == screenBefore ? normalize(screenAfter - screenCurrent)
                                             : normalize(screenCurrent - screenBefore);
    vec2 normal = vec2(-dir.y, dir.x) * (u.thickness * pinch / 2.0);
    normal.x /= u.aspect;

    // Not multiplied by w: the ribbon narrows with distance like the geometry around it.
    gl_Position = current + vec4(normal * direction, 0.0, 0.0);

    // Both colourings are computed and one is selected without a branch: Mesa's lavapipe (22.x)
    // inlines the uniforms a branch tests and compiles a new variant of the shader at every draw,
    // keeping each, so a branch on u.colorA.w cost about 650 KB of memory per picture. mix() with
    // a boolean selects each component as it is, where a blend by 0.0 or 1.0 could round it, or
    // carry a NaN from the colouring not taken.
    float halfExtent = max(u.colorB.w, 0.0001);
    float depth = (current.z / current.w - 0.5) / (2.0 * halfExtent);
    vec3 gradient = mix(u.colorA.rgb, u.colorB.rgb, x * 0.5 + 0.5);
    vec3 byDepth = rainbow(clamp(depth + 0.5, 0.0, 1.0));
    vec3 rgb = mix(gradient, byDepth, bvec3(u.colorA.w > 0.5));

    float a = u.opacity * mix(0.35, 1.0, frequencies) * pinch;
    vColor = vec4(rgb * a, a);
}
