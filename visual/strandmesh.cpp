#include "visual/strandmesh.h"

#include <algorithm>

namespace visual {

std::vector<StrandVertex> strandMesh(int points)
{
    points = std::max(points, 2);
    auto xAt = [points](int i) { return -1.0f + 2.0f * float(i) / float(points - 1); };
    std::vector<StrandVertex> vertices;
    vertices.reserve(size_t(points) * 2);
    for (int i = 0; i < points; ++i) {
        const float x = xAt(i);
        const float before = xAt(std::max(i - 1, 0));
        const float after = xAt(std::min(i + 1, points - 1));
        for (float direction : { -1.0f, 1.0f })
            vertices.push_back({ { x, 0, 0 }, { before, 0, 0 }, { after, 0, 0 }, direction });
    }
    return vertices;
}

} // namespace visual
