// GLSL functions both passes use, spliced into their shader texts by literal concatenation, so
// each text stays one constant and the two passes cannot drift apart. The texts are GLSL 1.50
// without their version line: each platform puts its own before them (shaderPrefix in
// render/gl.h).
#pragma once

// A hash of a 2D value to [0.5, 1).
#define QM_GLSL_RAND                                                                               \
    "float rand(vec2 n) {\n"                                                                       \
    "    return 0.5 + 0.5 * fract(sin(dot(n.xy, vec2(12.9898, 78.233)))* 43758.5453);\n"           \
    "}\n"

// Hue, saturation and value to RGB.
#define QM_GLSL_HSV                                                                                \
    "vec3 hsv(float h, float s, float v) {\n"                                                      \
    "    return mix(vec3(1.),clamp((abs(fract(h+vec3(3.,2.,1.)/3.)*6.-3.)-1.),0.,1.),s)*v;\n"      \
    "}\n"
