#version 440

// Bright pass: keeps what lies above a soft luma threshold.

layout(location = 0) in vec2 vUv;
layout(location = 0) out vec4 fragColor;

// Shared by all four post-processing passes; each reads only its own fields.
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

void main()
{
    vec4 c = texture(source, vUv);
    float luma = dot(c.rgb, vec3(0.2126, 0.7152, 0.0722));
    // A zero knee would make smoothstep's edges meet, which is undefined.
    float t = smoothstep(u.threshold, u.threshold + max(u.knee, 0.0001), luma);
    fragColor = c * t;
}
