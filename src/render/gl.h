// The GL the renderer is written against: desktop GL 3.3 (compatibility) through GLEW, or, in
// the browser build, WebGL2 (OpenGL ES 3.0). The differences in the renderer's GL calls are
// here, the shader texts' version line among them; one more branches on glIsWebGL where it
// belongs: the context's client API (gl_context.cpp).
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

// The uniforms WebGL2's shaders read for the point state it has no calls for: the size the
// desktop gives glPointSize, and 1 where the desktop enables GL_POINT_SMOOTH.
#define QM_WEB_POINT_SIZE "webPointSize"
#define QM_WEB_ROUND_POINTS "webRoundPoints"

namespace qm {

constexpr char webPointSizeUniform[] = QM_WEB_POINT_SIZE;
constexpr char webRoundPointsUniform[] = QM_WEB_ROUND_POINTS;

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

// The shader texts are GLSL 1.50 bodies. WebGL2 compiles them as GLSL ES 3.00 (texture for
// texture2D) with their main renamed, and after them a main of its own that sets the point
// state and then runs theirs: a point's size, and for a smooth point the pixels beyond its round
// edge discarded (its centre is gl_PointCoord (0.5, 0.5); nothing blends, so only which pixels
// it covers shows).
constexpr char vertexShaderPrefix[] = "#version 300 es\n"
                                      "precision highp float;\n"
                                      "uniform float " QM_WEB_POINT_SIZE ";\n"
                                      "#define main sharedMain\n";
constexpr char vertexShaderSuffix[] = "#undef main\n"
                                      "void main() {\n"
                                      "    gl_PointSize = " QM_WEB_POINT_SIZE ";\n"
                                      "    sharedMain();\n"
                                      "}\n";
constexpr char fragmentShaderPrefix[] = "#version 300 es\n"
                                        "precision highp float;\n"
                                        "uniform float " QM_WEB_ROUND_POINTS ";\n"
                                        "#define texture2D texture\n"
                                        "#define main sharedMain\n";
constexpr char fragmentShaderSuffix[] =
    "#undef main\n"
    "void main() {\n"
    "    if (" QM_WEB_ROUND_POINTS " > 0.5 && length(gl_PointCoord - vec2(0.5)) > 0.5) {\n"
    "        discard;\n"
    "    }\n"
    "    sharedMain();\n"
    "}\n";

// WebGL2 has no point size or point smoothing state: its shaders read both from uniforms, set
// here with the point program in use. A skipped size keeps
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
constexpr char vertexShaderPrefix[] = "#version 150\n";
constexpr char vertexShaderSuffix[] = "";
constexpr char fragmentShaderPrefix[] = "#version 150\n";
constexpr char fragmentShaderSuffix[] = "";
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
