
// Appended to the strand vertex shader, whose main has become strandMain. Draws every vertex as one
// 1-pixel point, at column = vertex index and row = instance index of a PROBE_COLUMNS x PROBE_ROWS
// target, and hands the strand shader's clip position to the fragment stage beside its colour.

layout(location = 1) out vec4 probeClip;

void main()
{
    strandMain();
    probeClip = gl_Position;
    gl_Position = vec4((float(gl_VertexIndex) + 0.5) * (2.0 / float(PROBE_COLUMNS)) - 1.0,
                       (float(gl_InstanceIndex) + 0.5) * (2.0 / float(PROBE_ROWS)) - 1.0, 0.0, 1.0);
    gl_PointSize = 1.0;
}
