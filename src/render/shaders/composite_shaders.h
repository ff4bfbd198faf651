// Composite pass: the accumulated point image and the current picture, with the time-keyed
// treatments (smear 13.0-17.4 s, jitter and hue cycling after 17.4 s, brighter-of, scan lines,
// vignette and flicker after 4.4 s).
#pragma once

#include "render/shaders/glsl_functions.h"
#include "timeline.h"

namespace qm {

constexpr char compositeVertexText[] = R"(uniform float time;
uniform float cumulativeLevel;
in vec3 position;
out vec2 uv;
out vec2 ndc;

void main() {
    gl_Position = vec4(position, 1.0);
    ndc = position.xy;
    uv = ndc / 2.0 + 0.5;
    uv.y = 1.0 - uv.y;
    uv.x = uv.x * 0.65;
}
)";

constexpr char compositeFragmentText[] = R"(uniform float time;
uniform float cumulativeLevel;
uniform sampler2D screentexture;
uniform sampler2D fist;
in vec2 uv;
in vec2 ndc;
out vec4 outColor;

)" QM_GLSL_TIMELINE QM_GLSL_RAND "\n" QM_GLSL_HSV R"(
void main() {
    float s = ndc.x / 2.0 + 0.5;
    float t = ndc.y / 2.0 + 0.5;

    vec3 scr;
    if (time > breakStart && time < dropStart) {
        scr = texture2D(screentexture, vec2(s, s)).rgb;
    } else {
        scr = texture2D(screentexture, vec2(s, t)).rgb;
    }

    vec2 uvv = uv;
    if (time > dropStart) {
        uvv.y = uvv.y + fract(time * 27.5) * 0.1;
    }
    uvv = clamp(uvv, 0.0, 1.0);
    vec3 img = texture2D(fist, uvv).rgb;

    vec3 c = scr;
    if (time > dropStart) {
        img = img + 0.6 * fract(time * 27.5);
        img = hsv(cumulativeLevel + fract(time * 27.5), img.r, img.r);
    }
    if (time > grooveStart) {
        if (length(img) > length(scr)) {
            c = img;
        } else {
            c = scr;
        }
    }

    c = c - sin(uv.y * 2000.0) * 0.1;

    if (time > grooveStart) {
        c = c - dot(ndc, ndc) * 0.4;
        c = c - rand(vec2(time, time)) * 0.2;
        c = c - texture2D(screentexture, vec2(t, t)).r * 0.1;
        c = c - 0.05;
        c = c + rand(vec2(time, cumulativeLevel)) * 0.2;
    }

    outColor = vec4(c, 1.0);
}
)";

} // namespace qm
