// The GL's answers in words, for failure lines, and the one way to start an error check afresh.
#pragma once

#include "render/gl.h"

#include <string>

namespace qm {

// Reads and drops the errors pending, so a check that follows sees only its own calls' errors.
// Bounded: a lost context reports an error on every call.
void clearGlErrors();

// "GL_INVALID_VALUE (0x0501)"; an unknown code as "GL error 0x....".
std::string glErrorText(GLenum error);

// "GL_FRAMEBUFFER_UNSUPPORTED (0x8CDD)"; an unknown status as "status 0x....".
std::string framebufferStatusText(GLenum status);

} // namespace qm
