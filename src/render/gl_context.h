// A hidden window with a current GL 3.3 compatibility context and GLEW loaded, for the tests,
// the benchmark and the capture tool; and the GLFW error text the live driver reuses.
#pragma once

#include <GL/glew.h>

#include <GLFW/glfw3.h>

#include <string>

// Makes GLFW keep the description of its last error; safe to call before glfwInit and more
// than once.
void installGlfwErrorCallback();

// The description GLFW gave with its last error, or "no reason given" when it gave none.
const char* glfwFailureText();

// Initialises GLFW, opens a hidden, non-resizable window of the given size with a current
// 3.3 compatibility context and loads the GL entry points. nullptr with one line in `failure`
// on any failure, with GLFW terminated again.
GLFWwindow* openHiddenContext(int width, int height, std::string& failure);

// Destroys the window and terminates GLFW.
void closeHiddenContext(GLFWwindow* window);
