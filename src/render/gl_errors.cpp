#include "render/gl_errors.h"

#include <cstdio>

namespace qm {

namespace {

std::string named(const char* name, const char* unknown, GLenum code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%04X", code);
    return name != nullptr ? std::string(name) + " (" + hex + ")" : std::string(unknown) + hex;
}

} // namespace

void clearGlErrors() {
    for (int drained = 0; drained < 16 && glGetError() != GL_NO_ERROR; ++drained) {
    }
}

std::string glErrorText(GLenum error) {
    const char* name = nullptr;
    switch (error) {
    case GL_INVALID_ENUM:
        name = "GL_INVALID_ENUM";
        break;
    case GL_INVALID_VALUE:
        name = "GL_INVALID_VALUE";
        break;
    case GL_INVALID_OPERATION:
        name = "GL_INVALID_OPERATION";
        break;
    case GL_OUT_OF_MEMORY:
        name = "GL_OUT_OF_MEMORY";
        break;
    case GL_INVALID_FRAMEBUFFER_OPERATION:
        name = "GL_INVALID_FRAMEBUFFER_OPERATION";
        break;
    }
    return named(name, "GL error ", error);
}

std::string framebufferStatusText(GLenum status) {
    const char* name = nullptr;
    switch (status) {
    case GL_FRAMEBUFFER_UNDEFINED:
        name = "GL_FRAMEBUFFER_UNDEFINED";
        break;
    case GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT:
        name = "GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT";
        break;
    case GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT:
        name = "GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT";
        break;
    case GL_FRAMEBUFFER_INCOMPLETE_DRAW_BUFFER:
        name = "GL_FRAMEBUFFER_INCOMPLETE_DRAW_BUFFER";
        break;
    case GL_FRAMEBUFFER_UNSUPPORTED:
        name = "GL_FRAMEBUFFER_UNSUPPORTED";
        break;
    case GL_FRAMEBUFFER_INCOMPLETE_MULTISAMPLE:
        name = "GL_FRAMEBUFFER_INCOMPLETE_MULTISAMPLE";
        break;
    }
    return named(name, "status ", status);
}

} // namespace qm
