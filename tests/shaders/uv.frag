#version 440

// Shows the full-screen triangle's texture coordinate as colour.

layout(location = 0) in vec2 vUv;
layout(location = 0) out vec4 fragColor;

void main()
{
    fragColor = vec4(vUv, 0.0, 1.0);
}
