#include "audio/output.h"

#include "assets.h"

#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#ifdef __linux__
#include <dlfcn.h>
#endif

namespace qm {

namespace {

constexpr Uint16 deviceBufferFrames = 1024;

struct Output {
    bool audioInitialised = false;
    const OutputFeed* feed = nullptr;
    // Set only while no callback of it runs (before it is unpaused); read by the callback.
    std::atomic<SDL_AudioDeviceID> device{0};
    // What the previous callback handed over: the callback's, and restartFeed's under the
    // device's lock.
    Handed handed;
    // The attempt to replace a lost device: its thread writes `reopenFailure`, then publishes
    // the outcome; the main thread reads the failure only after that.
    std::atomic<Reopen> reopen{Reopen::idle};
    // Taken from the driver's name whenever the audio starts, while no callback runs; an
    // attempt's are read only after it has published its outcome.
    bool reportsLoss = true;
    CallbackTiming timing = CallbackTiming::nextCallback;
    std::string reopenFailure;
};

// Never destroyed: an attempt still held in SDL's open when the process ends writes to it.
Output& output = *new Output;

void SDLCALL feedDevice(void*, Uint8* bytes, int length) {
    const OutputFeed& feed = *output.feed;
    if (feed.topUp != nullptr) {
        feed.topUp();
    }
    auto* out = reinterpret_cast<std::int16_t*>(bytes);
    const std::uint64_t wanted = static_cast<std::uint64_t>(length) / 4;
    // SDL goes on calling a lost device's callback at the sound's pace, into nothing: nothing is
    // taken from the ring and nothing stamped, so the clock holds at what was heard.
    if (outputLost()) {
        std::fill(out, out + 2 * wanted, std::int16_t{0});
        return;
    }
    std::uint64_t first = 0;
    const std::uint64_t ready = ringTake(*feed.ring, out, wanted, first);
    std::fill(out + 2 * ready, out + 2 * wanted, std::int16_t{0});
    publishStamp(*feed.stamp, callbackStamp(output.timing, output.handed, {first, ready}, wanted,
                                            monotonicNanoseconds()));
    output.handed = {first, ready};
    if (feed.bufferStart != nullptr && ready > 0) {
        const double zero = feed.bufferStart() - static_cast<double>(first) / playbackRate;
        if (std::isfinite(zero)) {
            noteFrameZero(*feed.frameZeroes, zero);
        }
    }
}

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
    wanted.callback = feedDevice;
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

// Starts SDL's audio and takes what the driver it picked means for the clock. Called again for
// each attempt to replace a lost device, so the capabilities always follow the subsystem that
// runs. False with SDL's reason in `failure`.
bool startAudio(std::string& failure) {
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        failure = SDL_GetError();
        return false;
    }
    const char* driver = SDL_GetCurrentAudioDriver();
    const bool pipeWire = driver != nullptr && std::strcmp(driver, "pipewire") == 0;
    output.reportsLoss = !pipeWire;
    output.timing = pipeWire ? CallbackTiming::graphCycle : CallbackTiming::nextCallback;
    return true;
}

} // namespace

bool openOutput(const OutputFeed& feed, std::string& failure) {
    // The presentation handles its own signals; SDL's handlers would swallow Ctrl-C.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    quietenAlsa();
    if (!startAudio(failure)) {
        return false;
    }
    output.audioInitialised = true;
    output.feed = &feed;
    return openDefaultDevice(failure);
}

void restartFeed(std::uint64_t frame) {
    // SDL runs the callback under the device's lock: while it is held, no callback is running.
    const SDL_AudioDeviceID device = output.device.load();
    if (device != 0) {
        SDL_LockAudioDevice(device);
    }
    output.handed = {frame, 0};
    if (device != 0) {
        SDL_UnlockAudioDevice(device);
    }
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

bool outputReportsLoss() {
    return output.reportsLoss;
}

bool outputLost() {
    // Reads only SDL's atomic flags for an open device. While a lost one is being closed the id
    // is 0 already, and its last callbacks must take nothing either.
    const SDL_AudioDeviceID device = output.device.load(std::memory_order_relaxed);
    return device == 0 || SDL_GetAudioDeviceStatus(device) == SDL_AUDIO_STOPPED;
}

// SDL 2.32's PulseAudio backend no longer reaches a restarted server from a device opened again
// on the same audio subsystem ("Could not connect PulseAudio stream"); stopping and starting the
// subsystem does, on 2.26 as well. The lost device's thread only paces silence by now, so closing
// it is quick. The browser has no threads and no server to restart: there the device alone is
// opened again, at once.
int SDLCALL attemptReopen(void*) {
    if (const SDL_AudioDeviceID lost = output.device.exchange(0); lost != 0) {
        SDL_CloseAudioDevice(lost);
    }
#ifndef __EMSCRIPTEN__
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    if (!startAudio(output.reopenFailure)) {
        output.reopen.store(Reopen::failed, std::memory_order_release);
        return 0;
    }
#endif
    const bool opened = openDefaultDevice(output.reopenFailure);
    output.reopen.store(opened ? Reopen::opened : Reopen::failed, std::memory_order_release);
    return 0;
}

void startReopen() {
    if (output.reopen.load(std::memory_order_acquire) == Reopen::pending) {
        return;
    }
    output.reopen.store(Reopen::pending, std::memory_order_relaxed);
#ifdef __EMSCRIPTEN__
    attemptReopen(nullptr);
#else
    // An SDL thread, not a std::thread: SDL frees the error text and other thread-local data it
    // keeps for a thread only when the thread is one of its own, so each attempt would leak them.
    if (SDL_Thread* thread = SDL_CreateThread(attemptReopen, "qm-reopen", nullptr)) {
        SDL_DetachThread(thread);
    } else {
        output.reopenFailure = SDL_GetError();
        output.reopen.store(Reopen::failed, std::memory_order_release);
    }
#endif
}

Reopen pollReopen(std::string& failure) {
    const Reopen state = output.reopen.load(std::memory_order_acquire);
    if (state == Reopen::failed) {
        failure = output.reopenFailure;
    }
    if (state == Reopen::opened || state == Reopen::failed) {
        output.reopen.store(Reopen::idle, std::memory_order_relaxed);
    }
    return state;
}

void closeOutput(bool held) {
    held = held || output.reopen.load(std::memory_order_acquire) == Reopen::pending;
    if (const SDL_AudioDeviceID device = output.device.exchange(0); device != 0 && !held) {
        SDL_CloseAudioDevice(device);
    }
    if (output.audioInitialised && !held) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
    output.audioInitialised = false;
}

} // namespace qm
