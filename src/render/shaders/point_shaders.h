// Point-cloud pass: each point is placed by a hash of its vertex index and the running level
// sum, with no vertex data; all points of a frame share one level-driven colour.
#pragma once

#include "render/shaders/glsl_functions.h"

namespace qm {

constexpr char pointVertexText[] = R"(uniform float cumulativeLevel;
uniform float time;
in vec3 position;

)" QM_GLSL_RAND R"(
void main() {
    vec2 a = vec2(sin(cumulativeLevel + float(gl_VertexID) * 0.6),
                  cos(cumulativeLevel + float(gl_VertexID) * 0.6));
    vec2 b = vec2(sin(cumulativeLevel + float(gl_VertexID/2)),
                  cos(cumulativeLevel - float(gl_VertexID) * 2.0));
    gl_Position = vec4((rand(a) - .75) * 4.0, (rand(b) - .75) * 4.0, 0.0, 1.0);
}
)";

constexpr char pointFragmentText[] = R"(uniform float cumulativeLevel;
uniform float time;
out vec4 outColor;

)" QM_GLSL_RAND "\n" QM_GLSL_HSV R"(
void main() {
    float s = 1.0 - rand(vec2(cumulativeLevel, cumulativeLevel)) * 0.2;
    vec3 c = hsv(1.0, s, sin(cumulativeLevel));
    outColor = vec4(c, 1.0);
}
)";

} // namespace qm
