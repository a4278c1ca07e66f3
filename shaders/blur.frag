#version 440

// One axis of a separable Gaussian blur. Each off-centre tap sits between two texel centres, so
// with linear filtering five taps cover nine texels.

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

const float centreWeight = 0.22702703;
const float nearOffset = 1.3846154;
const float nearWeight = 0.31621623;
const float farOffset = 3.2307692;
const float farWeight = 0.07027027;

void main()
{
    vec2 axis = u.direction < 0.5 ? vec2(1.0, 0.0) : vec2(0.0, 1.0);
    vec2 stride = axis * u.texelSize;
    vec4 sum = texture(source, vUv) * centreWeight;
    sum += texture(source, vUv + stride * nearOffset) * nearWeight;
    sum += texture(source, vUv - stride * nearOffset) * nearWeight;
    sum += texture(source, vUv + stride * farOffset) * farWeight;
    sum += texture(source, vUv - stride * farOffset) * farWeight;
    fragColor = sum;
}
