// The camera: a perspective view of the strands from the +z side, built directly for device depth
// 0..1 (0 at the near plane) with clip y pointing up. No back end's clip-space correction is
// applied: with it, Vulkan and OpenGL drew different pictures.
//
// Contract: mvp() returns a column-major matrix. The camera backs off for narrow pictures so that
// x = -kHalfSpan..kHalfSpan stays in view. lensShiftY moves the whole picture vertically by that
// many device units (+1 = half the height, upwards); flipY mirrors clip y, for targets whose
// memory row 0 must hold the bottom of the picture.
#ifndef VISUAL_CAMERA_H
#define VISUAL_CAMERA_H

#include <array>

namespace visual {

constexpr float kFieldOfViewDeg = 40.0f;
constexpr float kCameraDistance = 2.0f;
constexpr float kNearPlane = 0.1f;
constexpr float kFarPlane = 10.0f;
// Half the model width kept in view: the strands span -1..1, with room for the ribbons' ends.
constexpr float kHalfSpan = 1.1f;

struct Camera {
    float lensShiftY = 0.0f;
    bool flipY = false;

    // Distance from the model's origin for a picture of this width / height.
    float distance(float aspect) const;
    std::array<float, 16> mvp(float aspect) const;
};

} // namespace visual

#endif
