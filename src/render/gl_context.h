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
    fullScreen, // on the primary monitor, its mode switched to the window's size where modes
                // switch (switchesDisplayMode), else at the monitor's own size
    hidden,     // never shown; draw into a framebuffer of your own to read pixels back
    canvas,     // the browser build's page canvas, with a WebGL2 context
};

// The window system a desktop build speaks to. GLFW 3.4 can speak X11 and Wayland and, left to
// itself, tries Wayland first even where no Wayland session is running, and libwayland then
// prints a line of its own on stderr (where XDG_RUNTIME_DIR is unset: a root shell, a
// container, CI). So Wayland is chosen only where the session says it is one.
enum class WindowPlatform { x11, wayland };

// From WAYLAND_DISPLAY and XDG_SESSION_TYPE (either may be null): Wayland where a Wayland
// display is named and the session is not declared an X11 one; X11 otherwise, also with no
// display at all, so that X11's own reason is what the viewer reads.
WindowPlatform chooseWindowPlatform(const char* waylandDisplay, const char* sessionType);

// The choice for this process's environment.
WindowPlatform windowPlatform();

// A full-screen window that loses focus is iconified only on Windows, where Alt-Tab users
// expect it. Elsewhere a compositor that takes focus from a fresh window (GNOME's Xwayland does
// from its first X11 client) would hide the whole show while the music plays to an exit 0.
#ifdef _WIN32
constexpr bool iconifyOnFocusLoss = true;
#else
constexpr bool iconifyOnFocusLoss = false;
#endif

// Whether the full-screen window switches the monitor's mode to its own size. Not on Wayland,
// where clients switch no modes, nor on Xwayland (outputs named "XWAYLAND<n>"), where a RandR
// switch is only emulated for this one client and the compositor sizes the window to the output
// anyway: there it opens at the output's current size.
bool switchesDisplayMode(bool wayland, const char* monitorName);

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
