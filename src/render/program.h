// Shader program builder: one vertex and one fragment text to a linked GL program.
#pragma once

#include "render/gl.h"

#include <string>

namespace qm {

// Uploads `source` into the existing shader object and compiles it. False with the stage name
// ("vertex shader" or "fragment shader") and the compiler's log in `failure`.
bool compileShader(GLuint shader, const char* source, std::string& failure);

// The linked program, or 0 with the failing stage ("vertex shader", "fragment shader" or
// "link") and its info log in `failure`; a failed build leaves no shader or program behind.
// The shaders of a good build are deleted once detached, so the program is the only object
// left to release.
GLuint buildProgram(const char* vertexSource, const char* fragmentSource, std::string& failure);

// The uniforms a shader's web form adds for the point state WebGL2 lacks: the size the desktop
// gives glPointSize, and 1 where the desktop enables GL_POINT_SMOOTH.
constexpr char webPointSizeUniform[] = "webPointSize";
constexpr char webRoundPointsUniform[] = "webRoundPoints";

// The GLSL ES 3.00 form of a desktop "#version 150" shader, with the same arithmetic: the
// version line becomes "#version 300 es" with highp floats, texture2D becomes texture, a vertex
// shader writes gl_PointSize from webPointSize, and a fragment shader discards what lies outside
// the round point when webRoundPoints is 1 (WebGL2 has neither glPointSize nor smooth points).
// An empty string for a text without the version line or without main.
std::string webShaderText(const std::string& desktopText, bool vertexStage);

} // namespace qm
