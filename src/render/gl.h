// The GL the renderer is written against: desktop GL 3.3 (compatibility) through GLEW, or, in
// the browser build, WebGL2 (OpenGL ES 3.0). The differences in the renderer's GL calls are
// here; two more branch on glIsWebGL where they belong: the context's client API
// (gl_context.cpp) and the shader texts' ES form (program.cpp).
#pragma once

#include <string>

#ifdef __EMSCRIPTEN__
#include <GLES3/gl3.h>
#else
#include <GL/glew.h>
#endif

// A framebuffer status desktop GL has and WebGL2 never answers, named by the status text.
#ifndef GL_FRAMEBUFFER_INCOMPLETE_DRAW_BUFFER
#define GL_FRAMEBUFFER_INCOMPLETE_DRAW_BUFFER 0x8CDB
#endif

namespace qm {

#ifdef __EMSCRIPTEN__

constexpr bool glIsWebGL = true;
constexpr int glVersionNeeded[2] = {3, 0};

// The browser's GL functions are bound when the module loads.
inline bool loadGlFunctions(std::string&) {
    return true;
}
// WebGL2 takes only sized depth formats.
constexpr GLenum depthBufferFormat = GL_DEPTH_COMPONENT16;
// WebGL2 takes no component count for an internal format.
constexpr GLint pictureInternalFormat = GL_RGBA;

// WebGL2 has no point size or point smoothing state: the point shader's web form reads both
// from uniforms (webShaderText), set here with the point program in use. A skipped size keeps
// the last one, as glPointSize does.
inline void setPointState(bool smooth, bool setSize, float size, GLint sizeUniform,
                          GLint roundUniform) {
    if (setSize) {
        glUniform1f(sizeUniform, size);
    }
    glUniform1f(roundUniform, smooth ? 1.0f : 0.0f);
}
inline void setUpFixedFunctionState() {}
#else
constexpr bool glIsWebGL = false;
constexpr int glVersionNeeded[2] = {3, 3};
constexpr GLenum depthBufferFormat = GL_DEPTH_COMPONENT;
constexpr GLint pictureInternalFormat = 4;

// GLEW's entry points for the current context; false with GLEW's reason.
inline bool loadGlFunctions(std::string& reason) {
    glewExperimental = GL_TRUE;
    if (const GLenum result = glewInit(); result != GLEW_OK) {
        reason = reinterpret_cast<const char*>(glewGetErrorString(result));
        return false;
    }
    return true;
}

// The web form's uniforms do not exist here.
inline void setPointState(bool smooth, bool setSize, float size, GLint, GLint) {
    if (smooth) {
        glEnable(GL_POINT_SMOOTH);
    } else {
        glDisable(GL_POINT_SMOOTH);
    }
    if (setSize) {
        glPointSize(size);
    }
}

inline void setUpFixedFunctionState() {
    glEnable(GL_TEXTURE_2D);
    glDisable(GL_POINT_SMOOTH);
}
#endif

} // namespace qm
