// The presentation's start-up steps, frame and shutdown, the same for every platform. Each step's
// failure line starts where the step is taken: the audio and music steps' words are here, the
// window's and the GL's in render/gl_context.cpp, the pictures' and programs' in render/, the
// decoder's and the device's in audio/; the first failure is the one kept and said.
#include "app/presentation.h"

#include "audio/music.h"

namespace qm {

Presentation presentation;

bool failPresentation(const std::string& message) {
    if (presentation.failure.empty()) {
        presentation.failure = message;
    }
    return false;
}

bool openAudioDevice() {
    return openDevice() || failPresentation("cannot open the audio device: " + musicFailure());
}

bool openMusic(const char* path) {
    presentation.musicOpen = openStream(path);
    return presentation.musicOpen ||
           failPresentation(std::string("cannot open music \"") + path + "\": " + musicFailure());
}

bool openWindow(ContextKind kind) {
    std::string failure;
    presentation.window = openContext(kind, sceneWidth, sceneHeight, failure);
    if (presentation.window == nullptr) {
        return failPresentation(failure);
    }
    if (kind == ContextKind::fullScreen) {
        glfwSetInputMode(presentation.window, GLFW_CURSOR, GLFW_CURSOR_HIDDEN);
    }
    return true;
}

bool makeScene(const std::string& assetDir) {
    std::string failure;
    return setupScene(failure, assetDir) || failPresentation(failure);
}

bool presentFrame(const ClockReading& reading, const FrameTarget& target) {
    if (reading.ended) {
        if (const std::string failure = presentation.musicOpen ? playbackFailure() : "";
            !failure.empty()) {
            failPresentation(failure);
        }
        return false;
    }
    // Single precision from here on, as the frame plan and the shaders compare.
    renderFrame(static_cast<float>(reading.seconds), static_cast<float>(reading.levelStep), target);
    return true;
}

void shutDownPresentation() {
    if (presentation.window != nullptr) {
        glfwSetInputMode(presentation.window, GLFW_CURSOR, GLFW_CURSOR_NORMAL);
        releaseScene(); // also what a half-finished set-up made
    }
    freeStream();
    freeDevice(); // also an audio subsystem whose device would not open
    closeContext(presentation.window);
    presentation.window = nullptr;
    presentation.musicOpen = false;
}

} // namespace qm
