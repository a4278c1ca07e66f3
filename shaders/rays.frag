#version 440

// Light rays: the weighted mean of samples marching from the pixel toward the screen centre.

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

const int sampleCount = 24;

void main()
{
    vec2 toCentre = vec2(0.5) - vUv;
    vec2 stride = toCentre * (u.rayLength / float(sampleCount));
    vec4 sum = vec4(0.0);
    float weight = 1.0;
    float total = 0.0;
    vec2 uv = vUv;
    for (int k = 0; k < sampleCount; ++k) {
        sum += texture(source, uv) * weight;
        total += weight;
        weight *= u.rayDecay;
        uv += stride;
    }
    // A negative decay can cancel the weights to nothing; there is no mean to take then.
    fragColor = total > 0.0 ? sum / total : vec4(0.0);
}
