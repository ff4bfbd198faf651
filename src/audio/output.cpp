#include "audio/output.h"

#include "assets.h"

#include <atomic>

#ifdef __linux__
#include <dlfcn.h>
#endif

namespace qm {

namespace {

constexpr Uint16 deviceBufferFrames = 1024;

struct Output {
    bool audioInitialised = false;
    SDL_AudioCallback callback = nullptr;
    // Set only while no callback of it runs (before it is unpaused); read by the callback.
    std::atomic<SDL_AudioDeviceID> device{0};
};

Output output;

#ifdef __linux__
extern "C" void ignoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}

// libasound prints its own diagnostics (a dozen lines when there is no sound card) before SDL
// can answer; the user should see the one line with SDL's reason instead. SDL loads the same
// library, so this handler is the one its calls meet.
void quietenAlsa() {
    void* alsa = dlopen("libasound.so.2", RTLD_LAZY | RTLD_LOCAL);
    if (alsa == nullptr) {
        return;
    }
    using ErrorHandler = void (*)(const char*, int, const char*, int, const char*, ...);
    using SetErrorHandler = int (*)(ErrorHandler);
    if (auto set = reinterpret_cast<SetErrorHandler>(dlsym(alsa, "snd_lib_error_set_handler"))) {
        set(ignoreAlsaMessage);
    }
}
#else
void quietenAlsa() {}
#endif

bool openDefaultDevice(std::string& failure) {
    SDL_AudioSpec wanted{};
    wanted.freq = playbackRate;
    wanted.format = AUDIO_S16SYS;
    wanted.channels = playbackChannels;
    wanted.samples = deviceBufferFrames;
    wanted.callback = output.callback;
    SDL_AudioSpec obtained{};
    // No changes allowed: SDL converts to whatever the hardware wants, so every frame we count
    // is a frame of the stream at 44100 Hz.
    const SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0);
    if (device == 0) {
        failure = SDL_GetError();
        return false;
    }
    output.device.store(device);
    return true;
}

} // namespace

bool openOutput(SDL_AudioCallback callback, std::string& failure) {
    // The presentation handles its own signals; SDL's handlers would swallow Ctrl-C.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    quietenAlsa();
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        failure = SDL_GetError();
        return false;
    }
    output.audioInitialised = true;
    output.callback = callback;
    return openDefaultDevice(failure);
}

void playOutput() {
    if (const SDL_AudioDeviceID device = output.device.load(); device != 0) {
        SDL_PauseAudioDevice(device, 0);
    }
}

void pauseOutput() {
    // SDL sets the pause under the device's lock, which the callback runs under.
    if (const SDL_AudioDeviceID device = output.device.load(); device != 0) {
        SDL_PauseAudioDevice(device, 1);
    }
}

bool outputLost() {
    // Reads only SDL's atomic flags for an open device.
    const SDL_AudioDeviceID device = output.device.load(std::memory_order_relaxed);
    return device != 0 && SDL_GetAudioDeviceStatus(device) == SDL_AUDIO_STOPPED;
}

// SDL's PulseAudio backend connects every device it opens to the server afresh, and opens the
// default device by no name (so no stale sink index), so a server started again is reached by
// opening the device again; the audio subsystem, whose device list went with the old server, is
// not restarted. The lost device's thread only paces silence by now, so closing it is quick.
bool reopenOutput(std::string& failure) {
    if (const SDL_AudioDeviceID lost = output.device.exchange(0); lost != 0) {
        SDL_CloseAudioDevice(lost);
    }
    return openDefaultDevice(failure);
}

void closeOutput(bool held) {
    if (const SDL_AudioDeviceID device = output.device.exchange(0); device != 0 && !held) {
        SDL_CloseAudioDevice(device);
    }
    if (output.audioInitialised && !held) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
    output.audioInitialised = false;
}

} // namespace qm
