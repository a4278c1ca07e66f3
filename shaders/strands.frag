#version 440

// The strand colour is finished, premultiplied, in the vertex stage.

layout(location = 0) in vec4 vColor;
layout(location = 0) out vec4 fragColor;

void main()
{
    fragColor = vColor;
}
