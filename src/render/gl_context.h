// The one way to a window with a current GL context and its entry points loaded: on the desktop
// a 3.3 compatibility context through GLEW, for the presentation's full-screen window and the
// hidden one of the tests, the benchmark and the capture tool; in the browser a WebGL2 context
// on the page's canvas. Each kind says its failures in its own words; the steps are the same.
#pragma once

#include "render/gl.h"

#include <GLFW/glfw3.h>

#include <string>

namespace qm {

enum class ContextKind {
    fullScreen, // on the primary monitor, its mode switched to the window's size
    hidden,     // never shown; draw into a framebuffer of your own to read pixels back
    canvas,     // the browser build's page canvas, with a WebGL2 context
};

// Sets GLFW's error callback (so the library's own reason is kept) and initialises GLFW; safe
// to call again. False with "<what could not start>: <GLFW's reason>" in `failure`.
bool startWindowLibrary(ContextKind kind, std::string& failure);

// Starts GLFW if it is not yet started, opens a non-resizable window of the given size titled
// windowTitle with a current context of the kind render/gl.h names and loads the GL entry
// points.
// nullptr with one line in `failure`, naming the step and the library's reason, on any failure,
// with the window destroyed and GLFW terminated again.
GLFWwindow* openContext(ContextKind kind, int width, int height, std::string& failure);

// Destroys the window, if any, and terminates GLFW.
void closeContext(GLFWwindow* window);

} // namespace qm
