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
inline bool loadGlFunctions(std::string&, bool) {
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

// Every entry point beyond GL 1.1 that the program calls, the one list to extend with a new
// call: GLEW's answer alone does not prove them loaded (below), and a null one called is a crash
// with nothing said.
#define QM_GL_ENTRY_POINTS(X)                                                                      \
    X(glActiveTexture)                                                                             \
    X(glAttachShader) X(glBindBuffer) X(glBindFramebuffer) X(glBindRenderbuffer)                   \
        X(glBindVertexArray) X(glBufferData) X(glCheckFramebufferStatus) X(glCompileShader)        \
            X(glCreateProgram) X(glCreateShader) X(glDeleteBuffers) X(glDeleteFramebuffers)        \
                X(glDeleteProgram) X(glDeleteRenderbuffers) X(glDeleteShader)                      \
                    X(glDeleteVertexArrays) X(glDetachShader) X(glDrawBuffers)                     \
                        X(glEnableVertexAttribArray) X(glFramebufferRenderbuffer)                  \
                            X(glFramebufferTexture2D) X(glGenBuffers) X(glGenFramebuffers)         \
                                X(glGenRenderbuffers) X(glGenVertexArrays) X(glGetProgramInfoLog)  \
                                    X(glGetProgramiv) X(glGetShaderInfoLog) X(glGetShaderiv)       \
                                        X(glGetUniformLocation) X(glLinkProgram)                   \
                                            X(glRenderbufferStorage) X(glShaderSource)             \
                                                X(glUniform1f) X(glUniform1i) X(glUseProgram)      \
                                                    X(glVertexAttribDivisor)                       \
                                                        X(glVertexAttribPointer)

// Whether glewInit's answer lets the run go on. A GLEW built for GLX (Debian's) loads the GL
// entry points, then answers GLEW_ERROR_NO_GLX_DISPLAY for its GLX ones in an EGL context (GLFW's
// on Wayland): there that answer is no failure, the entry point check says what is missing.
constexpr bool glewAnswerUsable(GLenum answer, bool eglContext) {
    return answer == GLEW_OK || (eglContext && answer == GLEW_ERROR_NO_GLX_DISPLAY);
}

// The first listed entry point the current context lacks, nullptr when all are there.
inline const char* missingGlEntryPoint() {
#define QM_RETURN_IF_MISSING(name)                                                                 \
    if (name == nullptr) {                                                                         \
        return #name;                                                                              \
    }
    QM_GL_ENTRY_POINTS(QM_RETURN_IF_MISSING)
#undef QM_RETURN_IF_MISSING
    return nullptr;
}

// GLEW's entry points for the current context; false with GLEW's reason or the missing entry
// point's name. `eglContext`: the context was made through EGL rather than GLX.
inline bool loadGlFunctions(std::string& reason, bool eglContext) {
    glewExperimental = GL_TRUE;
    if (const GLenum result = glewInit(); !glewAnswerUsable(result, eglContext)) {
        reason = reinterpret_cast<const char*>(glewGetErrorString(result));
        return false;
    }
    if (const char* missing = missingGlEntryPoint(); missing != nullptr) {
        reason = std::string("the driver has no ") + missing;
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
