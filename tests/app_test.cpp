// The presentation end to end: the real executable in a folder of generated assets, on the
// Xvfb screen the test suite runs under, with SDL's dummy audio driver.
#include "assets.h"
#include "test_support.h"

#include <X11/Xlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace testing_support;

namespace {

// A working folder with the two generated pictures and a music track of `seconds`.
struct Stage {
    TempDir dir;
    explicit Stage(double seconds) {
        for (const char* picture : {pictureFileA, pictureFileB}) {
            std::filesystem::copy_file(std::string(QM_BINARY_DIR) + "/" + picture,
                                       dir.file(picture));
        }
        if (seconds > 0) {
            auto samples = squareStereo(seconds / 2, 44100, 0, 0);
            append(samples, squareStereo(seconds / 2, 44100, 32767, 12000));
            makeMp3(dir, musicFileName, samples);
        }
    }
    ProcessRun start(const EnvironmentChanges& environment = {}) const {
        return startProgram({QM_MERIDIAN_EXE}, dir.path.string(), environment);
    }
};

// Whether `pid` has a handler installed for `signalNumber` (its SigCgt mask in /proc).
bool catchesSignal(pid_t pid, int signalNumber) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) == 0) {
            return (std::stoull(line.substr(7), nullptr, 16) >> (signalNumber - 1)) & 1u;
        }
    }
    return false;
}

} // namespace

TEST(AppEndToEnd, PlaysAShortTrackToItsEnd) {
    Stage stage(3.0);
    const ProcessResult result = finishProgram(stage.start(), 15.0);
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_TRUE(result.standardError.empty()) << result.standardError;
    EXPECT_GT(result.seconds, 2.9);
    EXPECT_LT(result.seconds, 7.0 * slowdown); // three seconds of music and the start-up
}

TEST(AppEndToEnd, EscapeAndSignalsEndALongRunWithTheirExitCodes) {
    Stage stage(60.0);
    {
        const ProcessRun run = stage.start();
        if (waitForWindow(10.0 * slowdown) == 0) {
            FAIL() << "no window: " << finishProgram(run, 1.0).standardError;
        }
        const ProcessResult result = escapeUntilEnded(run, 10.0 * slowdown);
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        EXPECT_LT(result.seconds, 20.0 * slowdown);
    }
    for (const auto& [signalNumber, exitCode] : {std::pair{SIGTERM, 143}, std::pair{SIGINT, 130}}) {
        const ProcessRun run = stage.start();
        if (waitForWindow(10.0 * slowdown) == 0) {
            FAIL() << "no window: " << finishProgram(run, 1.0).standardError;
        }
        ::kill(run.pid, signalNumber);
        const ProcessResult result = finishProgram(run, 5.0 * slowdown);
        EXPECT_EQ(result.exitCode, exitCode) << result.standardError;
        EXPECT_FALSE(windowShown());
    }
}

TEST(AppEndToEnd, SignalDuringStartUpEndsItBeforeTheWindowOpens) {
    // SDL's disk driver writing into a FIFO holds start-up in the audio device's opening until
    // this test starts reading, so the signal lands inside start-up every time.
    Stage stage(3.0);
    const std::string fifo = stage.dir.file("audio.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);

    const ProcessRun run = stage.start({{"SDL_AUDIODRIVER", "disk"}, {"SDL_DISKAUDIOFILE", fifo}});
    ASSERT_TRUE(waitUntil(10.0 * slowdown, [&] { return catchesSignal(run.pid, SIGTERM); }));
    ::kill(run.pid, SIGTERM);
    std::thread drain([&] {
        const int fd = ::open(fifo.c_str(), O_RDONLY);
        char bytes[4096];
        while (fd >= 0 && ::read(fd, bytes, sizeof bytes) > 0) {
        }
        ::close(fd);
    });
    const ProcessResult result = finishProgram(run, 10.0 * slowdown);
    drain.join();
    EXPECT_EQ(result.exitCode, 143) << result.standardError;

    // Any window the run mapped on the screen, even one closed again at once.
    int mapped = 0;
    XSync(display, False);
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        mapped += event.type == MapNotify ? 1 : 0;
    }
    XCloseDisplay(display);
    EXPECT_EQ(mapped, 0);
}

TEST(AppEndToEnd, MissingMusicFailsAtOnceNamingTheFile) {
    Stage stage(0.0);
    const ProcessResult result = finishProgram(stage.start(), 5.0);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_LT(result.seconds, 1.0 * slowdown);
    EXPECT_EQ(result.standardError,
              "quartz-meridian: cannot open music \"VARNOCHORD.mp3\": No such file or directory\n");
}

TEST(AppEndToEnd, NoAudioDeviceFailsWithTheLibrarysReason) {
    // ALSA with a device that cannot exist stands for a machine without a sound card.
    Stage stage(3.0);
    const ProcessResult result = finishProgram(
        stage.start({{"SDL_AUDIODRIVER", "alsa"}, {"AUDIODEV", "qm-no-such-device"}}), 5.0);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.standardError,
              "quartz-meridian: cannot open the audio device: ALSA: Couldn't open audio device: "
              "No such file or directory\n");
}

TEST(AppEndToEnd, NoDisplayFailsWithTheWindowLibrarysReason) {
    Stage stage(3.0);
    const ProcessResult result = finishProgram(
        stage.start({{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}}), 5.0);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.standardError.rfind("quartz-meridian: cannot start the window library: ", 0),
              0u)
        << result.standardError;
}
