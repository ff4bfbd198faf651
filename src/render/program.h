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

} // namespace qm
