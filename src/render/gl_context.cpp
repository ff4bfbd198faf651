// Window, context and GL entry points. Each failure names the step and the library's own answer:
// under a missing X display or a software GL without 3.3 the bare null window says nothing.
#include "render/gl_context.h"

#include "names.h"
#include "render/gl_errors.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qm {

namespace {

// What each step's failure is called: the presentation speaks to a viewer, the hidden context
// to whoever runs a test or a capture. The reasons after the colon are the libraries' own.
struct StepWords {
    const char* startLibrary;
    const char* openWindow;
    const char* loadEntryPoints;
    const char* oldVersion;
    const char* noVersion;
};

constexpr StepWords fullScreenWords = {
    "cannot start the window library: ",
    "cannot open the full-screen window: ",
    "cannot load the OpenGL entry points: ",
    "needs OpenGL 3.3, the driver offers ",
    "an unknown version",
};

constexpr StepWords hiddenWords = {
    "cannot start GLFW: ",
    "cannot open a hidden window with an OpenGL 3.3 compatibility context: ",
    "cannot load the GL entry points: ",
    "the GL is older than 3.3: ",
    "no version",
};

constexpr StepWords canvasWords = {
    "cannot start the window library: ",
    "cannot make a WebGL2 context on the page's canvas: ",
    "cannot load the WebGL2 functions: ",
    "needs WebGL2, the browser offers ",
    "an unknown version",
};

const StepWords& wordsFor(ContextKind kind) {
    switch (kind) {
    case ContextKind::fullScreen:
        return fullScreenWords;
    case ContextKind::canvas:
        return canvasWords;
    case ContextKind::hidden:
        break;
    }
    return hiddenWords;
}

char lastGlfwError[512] = "";

void keepGlfwError(int code, const char* description) {
    std::snprintf(lastGlfwError, sizeof lastGlfwError, "%s (GLFW error 0x%05X)",
                  description != nullptr ? description : "no description", code);
}

const char* glfwFailureText() {
    return lastGlfwError[0] != '\0' ? lastGlfwError : "no reason given";
}

// GL_MAJOR_VERSION rather than GLEW_VERSION_3_3: with glewExperimental set, GLEW reports a
// version as present whenever its entry points load, and Mesa exports them all whatever
// version the context has.
bool offersNeededVersion() {
    GLint major = 0;
    GLint minor = 0;
    glGetIntegerv(GL_MAJOR_VERSION, &major);
    glGetIntegerv(GL_MINOR_VERSION, &minor);
    return major > glVersionNeeded[0] ||
           (major == glVersionNeeded[0] && minor >= glVersionNeeded[1]);
}

// Loads the entry points into the current context and checks its version; one line in
// `failure` when either fails.
bool loadEntryPoints(GLFWwindow* window, const StepWords& words, std::string& failure) {
    const bool egl = glfwGetWindowAttrib(window, GLFW_CONTEXT_CREATION_API) == GLFW_EGL_CONTEXT_API;
    if (std::string reason; !loadGlFunctions(reason, egl)) {
        failure = words.loadEntryPoints + reason;
        return false;
    }
    if (!offersNeededVersion()) {
        const auto* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
        failure = std::string(words.oldVersion) + (version != nullptr ? version : words.noVersion);
        return false;
    }
    // GLEW's probing leaves GL_INVALID_ENUM behind on some drivers; later error checks must
    // only see their own.
    clearGlErrors();
    return true;
}

// Linux only: GLFW 3.3 speaks only X11 and has neither hint, and elsewhere there is one platform.
void hintWindowPlatform() {
#if defined(__linux__) && defined(GLFW_PLATFORM)
    const bool wayland = windowPlatform() == WindowPlatform::wayland &&
                         glfwPlatformSupported(GLFW_PLATFORM_WAYLAND) == GLFW_TRUE;
    glfwInitHint(GLFW_PLATFORM, wayland ? GLFW_PLATFORM_WAYLAND : GLFW_PLATFORM_X11);
#endif
#if defined(__linux__) && defined(GLFW_WAYLAND_LIBDECOR)
    // A full-screen or hidden window has no frame to draw, and without libdecor's plugin
    // package (only recommended) the library prints two lines of its own.
    glfwInitHint(GLFW_WAYLAND_LIBDECOR, GLFW_WAYLAND_DISABLE_LIBDECOR);
#endif
}

// GLFW 3.4 says which platform it picked; 3.3 has the one it was built for, named in its
// version string (Debian's libglfw3-wayland).
bool onWayland() {
#if GLFW_VERSION_MAJOR > 3 || GLFW_VERSION_MINOR >= 4
    return glfwGetPlatform() == GLFW_PLATFORM_WAYLAND;
#else
    return std::strstr(glfwGetVersionString(), "Wayland") != nullptr;
#endif
}

} // namespace

WindowPlatform chooseWindowPlatform(const char* waylandDisplay, const char* sessionType) {
    const bool named = waylandDisplay != nullptr && waylandDisplay[0] != '\0';
    const bool x11Session = sessionType != nullptr && std::strcmp(sessionType, "x11") == 0;
    return named && !x11Session ? WindowPlatform::wayland : WindowPlatform::x11;
}

WindowPlatform windowPlatform() {
    return chooseWindowPlatform(std::getenv("WAYLAND_DISPLAY"), std::getenv("XDG_SESSION_TYPE"));
}

bool switchesDisplayMode(bool wayland, const char* monitorName) {
    return !wayland && std::strncmp(monitorName != nullptr ? monitorName : "", "XWAYLAND", 8) != 0;
}

bool startWindowLibrary(ContextKind kind, std::string& failure) {
    glfwSetErrorCallback(keepGlfwError);
    lastGlfwError[0] = '\0';
    hintWindowPlatform();
    if (glfwInit() == GLFW_FALSE) {
        failure = std::string(wordsFor(kind).startLibrary) + glfwFailureText();
        return false;
    }
    return true;
}

GLFWwindow* openContext(ContextKind kind, int width, int height, std::string& failure) {
    const StepWords& words = wordsFor(kind);
    if (!startWindowLibrary(kind, failure)) {
        return nullptr;
    }
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, glVersionNeeded[0]);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, glVersionNeeded[1]);
    if constexpr (glIsWebGL) {
        glfwWindowHint(GLFW_CLIENT_API, GLFW_OPENGL_ES_API);
    } else {
        glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_COMPAT_PROFILE);
    }
    glfwWindowHint(GLFW_RESIZABLE, GLFW_FALSE);
    glfwWindowHint(GLFW_VISIBLE, kind == ContextKind::hidden ? GLFW_FALSE : GLFW_TRUE);
    glfwWindowHint(GLFW_AUTO_ICONIFY, iconifyOnFocusLoss ? GLFW_TRUE : GLFW_FALSE);
    GLFWmonitor* monitor = kind == ContextKind::fullScreen ? glfwGetPrimaryMonitor() : nullptr;
    // Where no mode can be switched, full screen is the output's own size; the scene
    // letterboxes the picture into it.
    if (const GLFWvidmode* mode = monitor != nullptr ? glfwGetVideoMode(monitor) : nullptr;
        mode != nullptr && !switchesDisplayMode(onWayland(), glfwGetMonitorName(monitor))) {
        width = mode->width;
        height = mode->height;
    }
    GLFWwindow* window = glfwCreateWindow(width, height, windowTitle, monitor, nullptr);
    if (window == nullptr) {
        failure = std::string(words.openWindow) + glfwFailureText();
        closeContext(nullptr);
        return nullptr;
    }
    glfwMakeContextCurrent(window);
    if (!loadEntryPoints(window, words, failure)) {
        closeContext(window);
        return nullptr;
    }
    return window;
}

void closeContext(GLFWwindow* window) {
    if (window != nullptr) {
        glfwDestroyWindow(window);
    }
    glfwTerminate();
}

} // namespace qm
