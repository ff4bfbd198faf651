#include "render/gl_errors.h"

#include <cstdio>
#include <initializer_list>
#include <utility>

namespace qm {

namespace {

// "NAME (0x0500)" for a code in `names`, else `unknown` and the code in hex.
std::string named(std::initializer_list<std::pair<GLenum, const char*>> names, const char* unknown,
                  GLenum code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%04X", code);
    for (const auto& [value, name] : names) {
        if (value == code) {
            return std::string(name) + " (" + hex + ")";
        }
    }
    return unknown + std::string(hex);
}

} // namespace

void clearGlErrors() {
    for (int drained = 0; drained < 16 && glGetError() != GL_NO_ERROR; ++drained) {
    }
}

std::string glErrorText(GLenum error) {
    return named({{GL_INVALID_ENUM, "GL_INVALID_ENUM"},
                  {GL_INVALID_VALUE, "GL_INVALID_VALUE"},
                  {GL_INVALID_OPERATION, "GL_INVALID_OPERATION"},
                  {GL_OUT_OF_MEMORY, "GL_OUT_OF_MEMORY"},
                  {GL_INVALID_FRAMEBUFFER_OPERATION, "GL_INVALID_FRAMEBUFFER_OPERATION"}},
                 "GL error ", error);
}

std::string framebufferStatusText(GLenum status) {
    return named({{GL_FRAMEBUFFER_UNDEFINED, "GL_FRAMEBUFFER_UNDEFINED"},
                  {GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT, "GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT"},
                  {GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT,
                   "GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT"},
                  {GL_FRAMEBUFFER_INCOMPLETE_DRAW_BUFFER, "GL_FRAMEBUFFER_INCOMPLETE_DRAW_BUFFER"},
                  {GL_FRAMEBUFFER_UNSUPPORTED, "GL_FRAMEBUFFER_UNSUPPORTED"},
                  {GL_FRAMEBUFFER_INCOMPLETE_MULTISAMPLE, "GL_FRAMEBUFFER_INCOMPLETE_MULTISAMPLE"}},
                 "status ", status);
}

} // namespace qm
