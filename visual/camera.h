// The camera: a perspective view of the strands from the +z side, built directly for device depth
// 0..1 (0 at the near plane) with clip y pointing up. No back end's clip-space correction is
// applied: with it, Vulkan and OpenGL drew different pictures.
//
// Contract: mvp() returns a column-major matrix that frames the figure in a picture of any shape.
// The strands run along the picture's longer side (turned a quarter turn, model x pointing up, in a
// picture taller than wide), x = -1..1 spanning kLengthFill of that side. The field of view is
// narrowed to that fit from a fixed distance, so the perspective looks the same at every shape.
// Where a swing of kFigureRadius would then leave kAcrossFill of the shorter side, the figure's
// cross-section is flattened towards that side, down to kMinFlatten; beyond that the fit across
// wins and the length shrinks. lensShiftY moves the whole picture vertically by that many device
// units (+1 = half the height, upwards); flipY mirrors clip y, for targets whose memory row 0 must
// hold the bottom of the picture.
#ifndef VISUAL_CAMERA_H
#define VISUAL_CAMERA_H

#include <array>

namespace visual {

constexpr float kCameraDistance = 2.0f;
constexpr float kNearPlane = 0.1f;
constexpr float kFarPlane = 10.0f;
// Share of the longer side that model x = -1..1 spans. The ribbons taper to nothing, width and
// light, at x = +-1, so the ends may touch the edges: what stays lit spans about nine tenths.
constexpr float kLengthFill = 1.0f;
// How far from the axis loud music (the demo's pink noise) swings the ribbons, in model units, and
// the share of the shorter side that swing may reach.
constexpr float kFigureRadius = 0.7f;
constexpr float kAcrossFill = 0.95f;
// The flattest cross-section: 16:9 needs about 0.74, 21:9 0.57 and 32:9 0.38. Down to here the
// length keeps filling the picture and only the cross-section gives way, so a wide or tall screen
// shows a slimmer figure end to end rather than a short one between empty bands.
constexpr float kMinFlatten = 0.35f;

struct Framing {
    float zoom = 1.0f; // clip y per model unit, before the divide by w (the distance)
    float flatten = 1.0f; // scale of the model's y and z
};

struct Camera {
    float lensShiftY = 0.0f;
    bool flipY = false;

    // The fit for a picture of this width / height.
    static Framing framing(float aspect);
    std::array<float, 16> mvp(float aspect) const;
};

} // namespace visual

#endif
