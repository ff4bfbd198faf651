// The presentation end to end: the real executable on the suite's Xvfb screen with SDL's dummy
// audio driver. It plays to the end; the viewer, signals and the window system end it with their
// exit codes; every broken file, and a machine that lacks something, stops it at once with one
// line naming what and why; odd but valid files play.
#include "test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <sstream>

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

// The build's 34 s track, ended long before its end by Escape, a signal (128 + its number), a
// window manager's close request (like Escape), or the window destroyed or the X connection
// killed by another client, which leaves Xlib nothing but to print its reason and exit(1): the
// run must end with that code, not abort with a core from tearing down live threads.
TEST(AppEndToEnd, EscapeAndSignalsEndALongRunWithTheirExitCodes) {
    const Stage stage;
    const struct {
        const char* how;
        int signalNumber, exitCode;
    } cases[] = {{"Escape", 0, 0},        {"SIGTERM", SIGTERM, 143}, {"SIGINT", SIGINT, 130},
                 {"SIGHUP", SIGHUP, 129}, {"close request", 0, 0},   {"windowclose", 0, 1},
                 {"windowkill", 0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        const ProcessRun run = startPresentation(stage);
        const unsigned long window = waitForFrame(run, startSeconds);
        ASSERT_NE(window, 0u) << "no frame shown: " << finishProgram(run, 1.0).standardError;
        const auto shown = std::chrono::steady_clock::now();
        if (c.signalNumber != 0) {
            ::kill(run.pid, c.signalNumber);
        } else if (c.how == std::string("close request")) {
            askWindowToClose(window);
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
        // Its handlers are in place once /proc shows SIGTERM caught.
        ASSERT_TRUE(waitUntil(startSeconds, [&] {
            std::ifstream status("/proc/" + std::to_string(run.pid) + "/status");
            std::string line;
            while (std::getline(status, line) && line.rfind("SigCgt:", 0) != 0) {
            }
            return line.size() > 7 &&
                   (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
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
    std::istringstream lines(result.standardError);
    result.standardError.clear();
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("CRITICAL: ", 0) != 0) {
            result.standardError += line + "\n";
        }
    }
    expectOneLine(result, "quartz-meridian", "",
                  ": the audio device stopped playing: no sound taken for 8 s at ");
}

// One way to break one of the three files in an otherwise complete working folder, with what
// the presentation must say about it: the file's bytes, none where it is missing, "/" for a
// folder.
struct BrokenAsset {
    const char *file, *damage, *reason;
    std::optional<std::string> bytes;
};

std::vector<BrokenAsset> brokenAssets() {
    std::vector<BrokenAsset> cases;
    for (const char* file : assetFileNames) {
        const bool music = file == assetFileNames[0];
        const char* cut = music ? "no MPEG audio found in the file" : "not a valid PNG";
        cases.insert(
            cases.end(),
            {{file, "Missing", "No such file or directory", std::nullopt},
             {file, "Empty", "the file is empty", ""},
             {file, "Folder", "it is a folder, not a file", "/"},
             // Cut inside the first frames: a track cut later still plays the part that is there.
             {file, "Truncated", cut,
              readFile(builtAsset(assetFileNames[music ? 0 : 1])).substr(0, music ? 400 : 3000)},
             // The built tovrel.png holds plausible MPEG frame headers in its compressed data; it
             // must still be refused as music rather than play as a burst of noise.
             {file, "WrongFormat", music ? "not an MP3 file" : cut,
              readFile(builtAsset(assetFileNames[music ? 2 : 0]))},
             // The fuzz seeds: an ID3v2 tag with nothing after it, and a valid PNG whose header
             // claims 100000x100000 pixels.
             {file, music ? "Id3Only" : "HugeHeader", music ? cut : "100000x100000",
              readFile(fuzzInput(music ? "corpus-music/id3-only.mp3"
                                       : "corpus-picture/huge-header.png"))}});
    }
    return cases;
}

// Names the case in gtest's listing; the default, a byte dump, garbles CTest's test names.
void PrintTo(const BrokenAsset& c, std::ostream* out) {
    *out << c.file << " " << c.damage;
}

class HostileAsset : public testing::TestWithParam<BrokenAsset> {};

TEST_P(HostileAsset, StopsAtOnceNamingTheFileAndTheReason) {
    const BrokenAsset& broken = GetParam();
    const Stage stage;
    const std::string path = stage.dir.file(broken.file);
    fs::remove(path);
    if (broken.bytes == "/") {
        fs::create_directory(path);
    } else if (broken.bytes) {
        writeFile(path, *broken.bytes);
    }
    expectOneLine(runPresentation(stage), "quartz-meridian", broken.file, broken.reason);
}

INSTANTIATE_TEST_SUITE_P(Assets, HostileAsset, testing::ValuesIn(brokenAssets()),
                         [](const testing::TestParamInfo<BrokenAsset>& info) {
                             std::string file = info.param.file;
                             return file.erase(file.find('.'), 1) + "_" + info.param.damage;
                         });

// Odd but valid files play to the end with exit 0 and nothing said: the plain 3 s track, a track
// cut off in the middle, half a second of 8 kHz mono, a fuzzer's 32 kHz file on which the
// decoder's rate conversion once stalled, a 1x1 picture, and 16-bit and grey pictures without a
// palette. A machine without something the run needs stops it at once with one line and the
// library's own reason, exit 1: ALSA with a device that cannot exist stands for one without a
// sound card, then no display, then a GL too old, then one without an entry point the renderer
// calls.
TEST(AppEndToEnd, OddFilesPlayToTheEndAndAMissingDeviceFailsInOneLine) {
    const Stage plain(threeSeconds());
    const std::string track = readFile(plain.dir.file(musicFileName));
    const struct {
        const char* file;
        std::string bytes;
        double shortest; // seconds a run that plays lasts at least
    } cases[] = {
        {musicFileName, track, 2.9},
        {musicFileName, track.substr(0, track.size() / 2), 1.0},
        {musicFileName, readFile(fuzzInput("corpus-music/mono-8000.mp3")), 0.4},
        {musicFileName, readFile(fuzzInput("regressions/music/music-stalls-decoder.mp3")), 0.03},
        {pictureFileA, readFile(fuzzInput("corpus-picture/one-pixel.png")), 2.9},
        {pictureFileB, readFile(fuzzInput("corpus-picture/rgb16-3x3.png")), 2.9},
        {pictureFileA, readFile(fuzzInput("corpus-picture/grey16-4x4.png")), 2.9},
    };
    for (const auto& c : cases) {
        const Stage stage;
        writeFile(stage.dir.file(musicFileName), track);
        writeFile(stage.dir.file(c.file), c.bytes);
        const ProcessResult result = runPresentation(stage);
        EXPECT_EQ(result.exitCode, 0) << c.file << ": " << result.standardError;
        EXPECT_EQ(result.standardError, "");
        EXPECT_GT(result.seconds, c.shortest) << c.file;
    }
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
