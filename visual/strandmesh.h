// The strand mesh: one centre line along the model x axis, drawn once per strand as an instanced
// triangle strip. The strand shader winds it into a helix and widens it into a ribbon.
//
// Contract: kStrandPoints points evenly spaced over x = -1..1 (y = z = 0), two vertices per point
// (direction -1, then +1); each vertex carries its point, the previous and the next point (the end
// points are their own outer neighbour) and its direction.
#ifndef VISUAL_STRANDMESH_H
#define VISUAL_STRANDMESH_H

#include <vector>

namespace visual {

// Fewer points let a sharp spectral peak twist the outer strands by up to half a turn between
// neighbouring points.
constexpr int kStrandPoints = 320;

struct StrandVertex {
    float position[3];
    float previous[3];
    float next[3];
    float direction;
};

static_assert(sizeof(StrandVertex) == 40, "strand vertices are 40 bytes, interleaved");

std::vector<StrandVertex> strandMesh(int points = kStrandPoints);

} // namespace visual

#endif
