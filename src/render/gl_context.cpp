// Hidden GL context. Each failure names the step and the library's own answer: under a
// missing X display or a software GL without 3.3 the bare null window says nothing.
#include "render/gl_context.h"

#include <cstdio>
#include <cstring>

namespace {

char lastGlfwError[512] = "";

void keepGlfwError(int code, const char* description) {
    std::snprintf(lastGlfwError, sizeof lastGlfwError, "%s (GLFW error 0x%05X)",
                  description != nullptr ? description : "no description", code);
}

std::string failedStep(const char* step) {
    return std::string(step) + ": " + glfwFailureText();
}

} // namespace

void installGlfwErrorCallback() {
    glfwSetErrorCallback(keepGlfwError);
}

const char* glfwFailureText() {
    return lastGlfwError[0] != '\0' ? lastGlfwError : "no reason given";
}

GLFWwindow* openHiddenContext(int width, int height, std::string& failure) {
    installGlfwErrorCallback();
    lastGlfwError[0] = '\0';
    if (glfwInit() == GLFW_FALSE) {
        failure = failedStep("cannot start GLFW");
        return nullptr;
    }
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_COMPAT_PROFILE);
    glfwWindowHint(GLFW_RESIZABLE, 0);
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    GLFWwindow* window = glfwCreateWindow(width, height, "QUARTZ MERIDIAN", nullptr, nullptr);
    if (window == nullptr) {
        failure =
            failedStep("cannot open a hidden window with an OpenGL 3.3 compatibility context");
        glfwTerminate();
        return nullptr;
    }
    glfwMakeContextCurrent(window);
    glewExperimental = GL_TRUE;
    const GLenum glewResult = glewInit();
    if (glewResult != GLEW_OK) {
        failure = std::string("cannot load the GL entry points: ") +
                  reinterpret_cast<const char*>(glewGetErrorString(glewResult));
        closeHiddenContext(window);
        return nullptr;
    }
    GLint major = 0;
    GLint minor = 0;
    glGetIntegerv(GL_MAJOR_VERSION, &major);
    glGetIntegerv(GL_MINOR_VERSION, &minor);
    if (major < 3 || (major == 3 && minor < 3)) {
        const GLubyte* version = glGetString(GL_VERSION);
        failure = std::string("the GL is older than 3.3: ") +
                  (version != nullptr ? reinterpret_cast<const char*>(version) : "no version");
        closeHiddenContext(window);
        return nullptr;
    }
    // GLEW's probing leaves GL_INVALID_ENUM behind on some drivers; later error checks must
    // only see their own. Bounded, because a lost context reports an error on every call.
    for (int drained = 0; drained < 16 && glGetError() != GL_NO_ERROR; ++drained) {
    }
    return window;
}

void closeHiddenContext(GLFWwindow* window) {
    if (window != nullptr) {
        glfwDestroyWindow(window);
    }
    glfwTerminate();
}
