#version 440

// Writes what the strand probe's point carries: the colour to the first target, the clip position
// to the second.

layout(location = 0) in vec4 vColor;
layout(location = 1) in vec4 probeClip;

layout(location = 0) out vec4 color;
layout(location = 1) out vec4 clip;

void main()
{
    color = vColor;
    clip = probeClip;
}
