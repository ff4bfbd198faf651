// The presentation end to end: the real executable on the suite's Xvfb screen with SDL's dummy
// audio driver. It plays to the end; the viewer, signals and the window system end it with their
// exit codes; every broken file, and a machine that lacks something, stops it at once with one
// line naming what and why; odd but valid files play.
#include "test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

using namespace qm;

using namespace testing_support;

namespace {

// Start-up plus shutdown on a loaded machine. A run that stops at once for a broken start-up
// ends well within it; one that wrongly plays the build's 34 s track does not.
constexpr double startSeconds = 20.0 * slowdown;

std::vector<std::int16_t> threeSeconds() {
    std::vector<std::int16_t> samples;
    square(samples, 1.5, 0, 0);
    square(samples, 1.5, 32767, 12000);
    return samples;
}

ProcessResult runPresentation(const Stage& stage, const Environment& environment = {}) {
    return finishProgram(startPresentation(stage, environment), startSeconds);
}

} // namespace

// The build's 34 s track, ended long before its end by Escape, a signal (128 + its number; one
// handler serves SIGINT, SIGTERM and SIGHUP, all three checked caught below), or the X
// connection killed by another client, which leaves Xlib nothing but to print its reason and
// exit(1): the run must end with that code, not abort with a core from tearing
// down live threads. A window manager's close request sets the flag Escape sets.
TEST(AppEndToEnd, EscapeAndSignalsEndALongRunWithTheirExitCodes) {
    const Stage stage;
    const struct {
        const char* how;
        int signalNumber, exitCode;
    } cases[] = {{"Escape", 0, 0}, {"SIGHUP", SIGHUP, 129}, {"windowkill", 0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        const ProcessRun run = startPresentation(stage);
        const unsigned long window = waitForFrame(run, startSeconds);
        ASSERT_NE(window, 0u) << "no frame shown: " << finishProgram(run, 1.0).standardError;
        const auto shown = std::chrono::steady_clock::now();
        if (c.signalNumber != 0) {
            ::kill(run.pid, c.signalNumber);
        } else if (c.exitCode == 1) {
            std::system(("xdotool " + std::string(c.how) + " " + std::to_string(window)).c_str());
        }
        const ProcessResult result = c.how == cases[0].how ? escapeUntilEnded(run, startSeconds)
                                                           : finishProgram(run, startSeconds);
        EXPECT_EQ(std::make_pair(result.exitCode, result.signal), std::make_pair(c.exitCode, 0))
            << result.standardError;
        EXPECT_TRUE(c.exitCode == 1
                        ? result.standardError.find("X") != std::string::npos &&
                              result.standardError.find("terminate") == std::string::npos
                        : result.standardError.empty())
            << result.standardError;
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - shown).count(),
                  25.0)
            << "the track ended it, not the viewer";
        EXPECT_EQ(windowOf(run.pid), 0u);
    }
}

TEST(AppEndToEnd, SignalDuringStartUpEndsItBeforeTheWindowOpens) {
    // SDL's disk driver writing into a FIFO holds start-up in the audio device's opening until
    // this test starts reading, so the signal lands inside start-up every time.
    const Stage stage(threeSeconds());
    const std::string fifo = stage.dir.file("audio.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ProcessResult result;
    const int mapped = windowsMappedWhile([&] {
        const ProcessRun run =
            startPresentation(stage, {{"SDL_AUDIODRIVER", "disk"}, {"SDL_DISKAUDIOFILE", fifo}});
        // Its handlers are in place once /proc shows SIGINT, SIGTERM and SIGHUP caught.
        const std::string status = "/proc/" + std::to_string(run.pid) + "/status";
        ASSERT_TRUE(waitUntil(startSeconds, [&] {
            const std::string mask = shellOutput("sed -n 's/^SigCgt://p' " + status);
            const auto caught = std::strtoull(mask.c_str(), nullptr, 16);
            return (caught >> (SIGINT - 1) & caught >> (SIGTERM - 1) & caught >> (SIGHUP - 1)) & 1;
        }));
        ::kill(run.pid, SIGTERM);
        std::thread drain([&] {
            const int fd = ::open(fifo.c_str(), O_RDONLY);
            readToEnd(fd);
            ::close(fd);
        });
        result = finishProgram(run, startSeconds);
        drain.join();
    });
    EXPECT_EQ(result.exitCode, 143) << result.standardError;
    EXPECT_EQ(mapped, 0);
}

// A sound server that stops taking sound mid-run (SDL's disk driver blocked on a FIFO this test
// never reads) must not leave the viewer before a frozen picture: the run ends about 8 s later
// with exit 1 and one line, and shutdown must not wait on the stuck device before saying it.
TEST(AppEndToEnd, ADeviceThatStopsTakingSoundEndsTheRunInOneLine) {
    const Stage stage;
    const std::string fifo = stage.dir.file("audio.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    const ProcessRun run =
        startPresentation(stage, {{"SDL_AUDIODRIVER", "disk"}, {"SDL_DISKAUDIOFILE", fifo}});
    // The driver writes through stdio, whose flush at exit waits on the full pipe as well (a real
    // device's thread holds nothing of the kind), so the pipe is drained once the line is said.
    const bool said = waitUntil(startSeconds, [&] {
        return readFile(run.stderrPath).find("quartz-meridian: ") != std::string::npos;
    });
    ::fcntl(reader, F_SETFL, 0);
    std::thread drain(readToEnd, reader);
    ProcessResult result = finishProgram(run, startSeconds);
    drain.join();
    ::close(reader);
    EXPECT_TRUE(said) << result.standardError;
    EXPECT_GT(result.seconds, 8.0);
    // The disk driver announces itself on stderr in lines of its own.
    std::string& text = result.standardError;
    for (std::size_t at = 0; (at = text.find("CRITICAL: ")) != std::string::npos;) {
        text.erase(at, text.find('\n', at) - at + 1);
    }
    expectOneLine(result, "quartz-meridian", "",
                  ": the audio device stopped playing: no sound taken for 8 s at ");
}

// A broken asset stops the run at once with one line naming the file and the loader's reason
// (each way to break one is BrokenAssets' in-process): the music before the window opens, a
// picture once the GL context is up.
TEST(AppEndToEnd, ABrokenAssetStopsItAtOnceNamingTheFileAndTheReason) {
    for (const char* file : {musicFileName, pictureFileB}) {
        const Stage stage;
        fs::remove(stage.dir.file(file));
        const bool music = file == std::string(musicFileName);
        if (!music) {
            writeFile(stage.dir.file(file), readFile(fuzzInput("corpus-picture/huge-header.png")));
        }
        expectOneLine(runPresentation(stage), "quartz-meridian", file,
                      music ? "No such file or directory" : "100000x100000 pixels do not fit");
    }
}

// The plain 3 s track plays to the end with exit 0 and nothing said (odd but valid files, the
// fuzzers' seeds, go through the same loaders in FuzzRegression). A machine without something
// the run needs stops it at once with one line and the library's own reason, exit 1: ALSA with a
// device that cannot exist stands for one without a sound card, then no display, then a GL too
// old, then one without an entry point the renderer calls.
TEST(AppEndToEnd, ATrackPlaysToTheEndAndAMissingDeviceFailsInOneLine) {
    const Stage plain(threeSeconds());
    const ProcessResult played = runPresentation(plain);
    EXPECT_EQ(std::make_pair(played.exitCode, played.standardError),
              std::make_pair(0, std::string()));
    EXPECT_GT(played.seconds, 2.9);
    // What follows "quartz-meridian: " where the machine lacks something. A sanitizer preset's
    // own preload stays first.
    const std::string preloaded =
        std::getenv("LD_PRELOAD") != nullptr ? std::getenv("LD_PRELOAD") : "";
    const std::pair<Environment, const char*> lacking[] = {
        {{{"SDL_AUDIODRIVER", "alsa"}, {"AUDIODEV", "qm-no-such-device"}},
         "cannot open the audio device: ALSA: Couldn't open audio device: No such file or "
         "directory\n"},
        {{{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}},
         "cannot start the window library: "},
        {{{"MESA_GL_VERSION_OVERRIDE", "3.0"}, {"MESA_GLSL_VERSION_OVERRIDE", "130"}},
         "cannot open the full-screen window: "},
        {{{"LD_PRELOAD", preloaded + " " QM_WITHOUT_DIVISOR}},
         "cannot load the OpenGL entry points: the driver has no glVertexAttribDivisor\n"},
    };
    for (const auto& [environment, failure] : lacking) {
        expectOneLine(runPresentation(plain, environment), "quartz-meridian", "",
                      std::string(": ") + failure);
    }
}
