#version 440

// One triangle that covers the viewport, drawn with three vertices and no vertex input.

layout(location = 0) out vec2 vUv;

void main()
{
    // Vertices 0, 1, 2 map to (0, 0), (2, 0), (0, 2); the part inside the clip square spans 0..1.
    vec2 p = vec2(float((gl_VertexIndex << 1) & 2), float(gl_VertexIndex & 2));
    vUv = vec2(p.x, 1.0 - p.y);
    gl_Position = vec4(2.0 * p.x - 1.0, 2.0 * p.y - 1.0, 0.0, 1.0);
}
