# Third-party libraries, all from the distribution's -dev packages (or, for the Windows, browser
# and portable Linux builds, from the static libraries scripts/build-windows, scripts/build-web
# and scripts/build-linux make), all looked for here and nowhere else. Each one becomes an
# imported target so the rest of the build never cares where it came from; the tools, tests and
# benchmarks' own libraries are looked for only when those are built.

# The cross builds (Windows, the browser) link static libraries that their own script made under
# one prefix (include/ and lib/): the prefix must exist, and each library becomes an imported
# target carrying the system libraries it needs.
function(qm_require_prefix variable script description)
  set(${variable} "" CACHE PATH "${description}")
  if(NOT IS_DIRECTORY "${${variable}}/lib")
    message(FATAL_ERROR "${variable} must name the prefix ${script} made "
                        "(it has no lib/ folder: \"${${variable}}\")")
  endif()
endfunction()

function(qm_prebuilt_library prefix script target file)
  if(NOT EXISTS "${prefix}/lib/${file}")
    message(FATAL_ERROR "${prefix}/lib/${file} is missing: rerun ${script}")
  endif()
  add_library(${target} STATIC IMPORTED)
  set_target_properties(${target} PROPERTIES IMPORTED_LOCATION "${prefix}/lib/${file}")
  target_include_directories(${target} SYSTEM INTERFACE "${prefix}/include")
  target_link_libraries(${target} INTERFACE ${ARGN})
endfunction()

# The Windows cross build, made with MinGW-w64: the .exe needs nothing beyond what ships with
# Windows.
if(WIN32)
  qm_require_prefix(QM_WINDOWS_DEPS scripts/build-windows
                    "Prefix holding the MinGW-w64 static libraries")
  set(windows_deps "${QM_WINDOWS_DEPS}" scripts/build-windows)
  find_package(Threads REQUIRED)

  qm_prebuilt_library(${windows_deps} qm::glfw libglfw3.a gdi32 user32 shell32)
  # Without GLEW_STATIC the header declares every entry point dllimport and the link fails.
  qm_prebuilt_library(${windows_deps} qm::glew libglew32.a opengl32)
  target_compile_definitions(qm::glew INTERFACE GLEW_STATIC GLEW_NO_GLU)
  qm_prebuilt_library(${windows_deps} qm::lodepng liblodepng.a)
  qm_prebuilt_library(${windows_deps} qm::mpg123 libmpg123.a shlwapi)
  qm_prebuilt_library(${windows_deps} qm::sdl2 libSDL2.a kernel32 user32 gdi32 winmm imm32 ole32
                      oleaut32 version uuid advapi32 setupapi shell32)
  # SDL's header renames main() to SDL_main on Windows; the process entry here is our own.
  target_compile_definitions(qm::sdl2 INTERFACE SDL_MAIN_HANDLED)
  target_include_directories(qm::sdl2 SYSTEM INTERFACE "${QM_WINDOWS_DEPS}/include/SDL2")
  add_library(qm::threads INTERFACE IMPORTED)
  target_link_libraries(qm::threads INTERFACE Threads::Threads)
  return()
endif()

# The browser build: WebGL2 and emscripten's own JavaScript GLFW come with the compiler; SDL2
# (audio only), libmpg123 and LodePNG are the static libraries scripts/build-web made under one
# prefix. No threads: the music clock decodes from the frame loop there.
if(EMSCRIPTEN)
  qm_require_prefix(QM_WEB_DEPS scripts/build-web "Prefix holding the WebAssembly static libraries")
  set(web_deps "${QM_WEB_DEPS}" scripts/build-web)
  qm_prebuilt_library(${web_deps} qm::lodepng liblodepng.a)
  qm_prebuilt_library(${web_deps} qm::mpg123 libmpg123.a)
  qm_prebuilt_library(${web_deps} qm::sdl2 libSDL2.a)
  # SDL's own SDL2 headers first: emscripten's SDL 1 headers would win otherwise.
  target_include_directories(qm::sdl2 SYSTEM BEFORE INTERFACE "${QM_WEB_DEPS}/include/SDL2")
  # SDL's audio calls these JavaScript helpers without declaring them. Through a response file,
  # since make would double the dollar signs of a plain link option.
  file(WRITE "${CMAKE_BINARY_DIR}/sdl2-link.rsp"
       "-sDEFAULT_LIBRARY_FUNCS_TO_INCLUDE=[$autoResumeAudioContext,$dynCall]\n")
  target_link_options(qm::sdl2 INTERFACE "@${CMAKE_BINARY_DIR}/sdl2-link.rsp")
  add_library(qm::glfw INTERFACE IMPORTED)
  target_link_options(qm::glfw INTERFACE "SHELL:-sUSE_GLFW=3")
  add_library(qm::glew INTERFACE IMPORTED)
  target_link_options(qm::glew INTERFACE "SHELL:-sMIN_WEBGL_VERSION=2" "SHELL:-sMAX_WEBGL_VERSION=2")
  add_library(qm::threads INTERFACE IMPORTED)
  return()
endif()

# The portable Linux edition: GLFW, LodePNG, libmpg123 and SDL2 are the static libraries
# scripts/build-linux made, GLEW is Debian's libGLEW.a, libstdc++ is linked in. GLFW and SDL2 load
# what they need of X11, Wayland and the sound servers when they run, so the program names only
# libGL, libX11, libXrandr and glibc. libgcc_s stays shared: its static unwinder calls a newer
# glibc (_dl_find_object, 2.35) than the 2.34 the edition promises.
set(QM_LINUX_DEPS "" CACHE PATH "Prefix holding the portable Linux build's static libraries")
if(QM_LINUX_DEPS)
  # libGL.so.1 is on every desktop with OpenGL; GLVND's libOpenGL.so.0 is a package of its own
  # that many lack.
  set(OpenGL_GL_PREFERENCE LEGACY)
endif()

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenGL REQUIRED)

if(QM_LINUX_DEPS)
  qm_require_prefix(QM_LINUX_DEPS scripts/build-linux
                    "Prefix holding the portable Linux build's static libraries")
  set(linux_deps "${QM_LINUX_DEPS}" scripts/build-linux)
  qm_prebuilt_library(${linux_deps} qm::glfw libglfw3.a ${CMAKE_DL_LIBS} m)
  qm_prebuilt_library(${linux_deps} qm::glew libGLEW.a OpenGL::GL)
  qm_prebuilt_library(${linux_deps} qm::lodepng liblodepng.a)
  qm_prebuilt_library(${linux_deps} qm::mpg123 libmpg123.a m)
  qm_prebuilt_library(${linux_deps} qm::sdl2 libSDL2.a ${CMAKE_DL_LIBS} m Threads::Threads)
  target_include_directories(qm::sdl2 SYSTEM INTERFACE "${QM_LINUX_DEPS}/include/SDL2")
  add_library(qm::threads INTERFACE IMPORTED)
  target_link_libraries(qm::threads INTERFACE Threads::Threads)
  add_compile_options(-ffunction-sections -fdata-sections)
  add_link_options(-static-libstdc++ -Wl,--gc-sections -Wl,--as-needed)
else()
  pkg_check_modules(QM_GLFW REQUIRED IMPORTED_TARGET glfw3)
  pkg_check_modules(QM_GLEW REQUIRED IMPORTED_TARGET glew)
  pkg_check_modules(QM_MPG123 REQUIRED IMPORTED_TARGET libmpg123)
  pkg_check_modules(QM_SDL2 REQUIRED IMPORTED_TARGET sdl2)

  add_library(qm::glfw INTERFACE IMPORTED)
  target_link_libraries(qm::glfw INTERFACE PkgConfig::QM_GLFW)
  add_library(qm::glew INTERFACE IMPORTED)
  target_link_libraries(qm::glew INTERFACE PkgConfig::QM_GLEW OpenGL::GL)
  add_library(qm::mpg123 INTERFACE IMPORTED)
  target_link_libraries(qm::mpg123 INTERFACE PkgConfig::QM_MPG123)
  add_library(qm::sdl2 INTERFACE IMPORTED)
  target_link_libraries(qm::sdl2 INTERFACE PkgConfig::QM_SDL2)
  add_library(qm::threads INTERFACE IMPORTED)
  target_link_libraries(qm::threads INTERFACE Threads::Threads)

  # Debian ships LodePNG as a plain header and shared library without pkg-config data.
  find_path(QM_LODEPNG_INCLUDE lodepng.h REQUIRED)
  find_library(QM_LODEPNG_LIBRARY NAMES lodepng REQUIRED)
  add_library(qm::lodepng INTERFACE IMPORTED)
  target_include_directories(qm::lodepng SYSTEM INTERFACE ${QM_LODEPNG_INCLUDE})
  target_link_libraries(qm::lodepng INTERFACE ${QM_LODEPNG_LIBRARY})
endif()

# The display-mode guard talks RandR itself, over its own X connection (src/app/mode_guard.h).
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  pkg_check_modules(QM_XRANDR REQUIRED IMPORTED_TARGET xrandr x11)
  add_library(qm::xrandr INTERFACE IMPORTED)
  target_link_libraries(qm::xrandr INTERFACE PkgConfig::QM_XRANDR)
endif()

# LAME: only the host tools, the tests and the benchmarks make MP3s, never the presentation.
if(QM_BUILD_TOOLS)
  find_path(QM_LAME_INCLUDE lame/lame.h REQUIRED)
  find_library(QM_LAME_LIBRARY NAMES mp3lame REQUIRED)
  add_library(qm::lame INTERFACE IMPORTED)
  target_include_directories(qm::lame SYSTEM INTERFACE ${QM_LAME_INCLUDE})
  target_link_libraries(qm::lame INTERFACE ${QM_LAME_LIBRARY})

  # The capture tool deflates PNG frames with zlib, two to three times faster than LodePNG's own
  # deflate (docs/PERFORMANCE.md).
  find_package(ZLIB REQUIRED)
endif()

if(QM_BUILD_TESTS)
  find_package(GTest REQUIRED)
  # The end-to-end tests look for the presentation's window on the X server.
  find_package(X11 REQUIRED)
endif()

# Optional: only the sync benchmark records the sound server (PkgConfig::QM_PULSE).
if(QM_BUILD_BENCH)
  pkg_check_modules(QM_PULSE QUIET IMPORTED_TARGET libpulse)
  pkg_check_modules(QM_PIPEWIRE QUIET IMPORTED_TARGET libpipewire-0.3)
endif()
