#version 440

// Final pass: scene plus bloom plus rays, with a radial colour separation that grows with the
// square of the distance from the centre, written as premultiplied colour.

layout(location = 0) in vec2 vUv;
layout(location = 0) out vec4 fragColor;

layout(std140, binding = 0) uniform Block
{
    vec2 texelSize;
    float threshold;
    float knee;
    float intensity;
    float direction;
    float dispersion;
    float radialBlur;
    float rayLength;
    float rayDecay;
} u;

layout(binding = 1) uniform sampler2D source;
layout(binding = 2) uniform sampler2D bloom;
layout(binding = 3) uniform sampler2D rays;

// Red from nearer the centre, blue from farther out; green and alpha stay at uv.
vec4 separated(sampler2D image, vec2 uv, vec2 displacement)
{
    vec4 c = texture(image, uv);
    c.r = texture(image, uv - displacement).r;
    c.b = texture(image, uv + displacement).b;
    return c;
}

void main()
{
    vec2 fromCentre = vUv - vec2(0.5);
    float r = length(fromCentre);
    // At the very centre there is no direction to separate along.
    vec2 dir = r > 0.0001 ? fromCentre / r : vec2(0.0);
    float shift = u.dispersion * r * r;
    float coreShift = shift * 0.15;

    vec4 base = separated(source, vUv, dir * coreShift);
    vec4 glow = separated(bloom, vUv, dir * shift * 2.0);
    vec4 ray = separated(rays, vUv, dir * shift * 2.0);

    float rayGain = u.radialBlur * 8.0;
    vec3 rgb = base.rgb + glow.rgb * u.intensity + ray.rgb * rayGain;
    float a = clamp(base.a + glow.a * u.intensity + ray.a * rayGain, 0.0, 1.0);
    fragColor = vec4(min(rgb, vec3(a)), a);
}
