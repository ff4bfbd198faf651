// The presentation end to end: the real executable on the suite's Xvfb screen with SDL's dummy
// audio driver. It plays to the end; the viewer, signals and the window system end it with their
// exit codes; every broken file, and a machine that lacks something, stops it at once with one
// line naming what and why; odd but valid files play.
#include "test_support.h"

#include <lodepng.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <random>

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

ProcessRun startPresentation(const Stage& stage, const Environment& environment = {}) {
    return startProgram({QM_MERIDIAN_EXE}, stage.dir.path.string(), environment);
}

ProcessResult runPresentation(const Stage& stage, const Environment& environment = {}) {
    return finishProgram(startPresentation(stage, environment), startSeconds);
}

std::string pngBytes(unsigned width, unsigned height, LodePNGColorType type, unsigned depth) {
    const std::size_t channels = type == LCT_RGB ? 3 : type == LCT_RGBA ? 4 : 1;
    std::vector<unsigned char> raw(std::size_t{width} * height * channels * depth / 8, 0x7F), png;
    EXPECT_EQ(0u, lodepng::encode(png, raw, width, height, type, depth));
    return {png.begin(), png.end()};
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
        ProcessResult result;
        if (c.how == cases[0].how) {
            result = escapeUntilEnded(run, startSeconds);
        } else {
            if (c.signalNumber != 0) {
                ::kill(run.pid, c.signalNumber);
            } else if (c.exitCode == 0) {
                askWindowToClose(window);
            } else {
                std::system(
                    ("xdotool " + std::string(c.how) + " " + std::to_string(window)).c_str());
            }
            result = finishProgram(run, startSeconds);
        }
        EXPECT_EQ(result.signal, 0);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.standardError;
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
            char bytes[4096];
            while (fd >= 0 && ::read(fd, bytes, sizeof bytes) > 0) {
            }
            ::close(fd);
        });
        result = finishProgram(run, startSeconds);
        drain.join();
    });
    EXPECT_EQ(result.exitCode, 143) << result.standardError;
    EXPECT_EQ(mapped, 0);
}

// A machine without something the run needs: one line with the library's own reason, exit 1.
TEST(AppEndToEnd, AMissingAudioDeviceDisplayOrGlFailsWithOneLine) {
    const Stage stage;
    const struct {
        Environment environment;
        const char* line;
    } cases[] = {
        // ALSA with a device that cannot exist stands for a machine without a sound card.
        {{{"SDL_AUDIODRIVER", "alsa"}, {"AUDIODEV", "qm-no-such-device"}},
         "cannot open the audio device: ALSA: Couldn't open audio device: No such file or "
         "directory\n"},
        {{{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}},
         "cannot start the window library: "},
        {{{"MESA_GL_VERSION_OVERRIDE", "3.0"}, {"MESA_GLSL_VERSION_OVERRIDE", "130"}},
         "cannot open the full-screen window: "},
    };
    for (const auto& c : cases) {
        const ProcessResult result = runPresentation(stage, c.environment);
        expectOneLine(result, "quartz-meridian", "", "");
        EXPECT_EQ(result.standardError.rfind(std::string("quartz-meridian: ") + c.line, 0), 0u);
    }
}

// One way to break one of the three files in an otherwise complete working folder, with what
// the presentation and the capture tool (nullptr: the same) must say about it.
struct BrokenAsset {
    const char *file, *damage, *reason, *captureReason;
};

constexpr char noAudio[] = "no MPEG audio found in the file", notMp3[] = "not an MP3 file",
               notPng[] = "not a valid PNG", folder[] = "it is a folder, not a file";

std::vector<BrokenAsset> brokenAssets() {
    std::vector<BrokenAsset> cases;
    for (const char* file : assetFileNames) {
        const bool music = file == assetFileNames[0];
        for (const BrokenAsset& c : std::initializer_list<BrokenAsset>{
                 {file, "Missing", "No such file or directory", nullptr},
                 {file, "Empty", "the file is empty", nullptr},
                 {file, "Folder", folder, "is not a file"},
                 {file, "Truncated", music ? noAudio : notPng, nullptr},
                 {file, "Random", music ? notMp3 : notPng, nullptr},
                 {file, "WrongFormat", music ? notMp3 : notPng, nullptr},
                 {file, music ? "Id3Only" : "HugeHeader", music ? noAudio : "100000x100000",
                  nullptr}}) {
            cases.push_back(c);
        }
    }
    return cases;
}

// The bytes of the broken file; nullopt for none, "/" for a folder.
std::optional<std::string> brokenBytes(const BrokenAsset& c) {
    const bool music = c.file == assetFileNames[0];
    const std::string name = c.damage;
    std::string bytes;
    if (name == "Missing" || name == "Folder") {
        return name == "Folder" ? std::optional<std::string>("/") : std::nullopt;
    } else if (name == "Truncated") {
        // Cut inside the first frames: a track cut later still plays the part that is there.
        bytes = readFile(builtAsset(music ? assetFileNames[0] : assetFileNames[1]))
                    .substr(0, music ? 400 : 3000);
    } else if (name == "Random") {
        std::mt19937 generator(20240611);
        for (int i = 0; i < 8192; ++i) {
            bytes += char(generator() & 0xFF);
        }
    } else if (name == "WrongFormat") {
        // The built tovrel.png holds plausible MPEG frame headers in its compressed data; it
        // must still be refused as music rather than play as a burst of noise.
        bytes = readFile(builtAsset(music ? assetFileNames[2] : assetFileNames[0]));
    } else if (name == "Id3Only") {
        // An ID3v2 tag of 2 KiB of padding and nothing after it: metadata, no audio.
        bytes = std::string("ID3\x03\x00\x00\x00\x00\x10\x00", 10) + std::string(2048, '\0');
    } else if (name == "HugeHeader") {
        // A valid 1x1 PNG whose header claims 100000x100000 pixels, its CRC fixed.
        bytes = pngBytes(1, 1, LCT_RGBA, 8);
        for (int offset : {16, 20}) {
            bytes.replace(offset, 4, std::string("\x00\x01\x86\xA0", 4));
        }
        const unsigned crc = lodepng_crc32(reinterpret_cast<const unsigned char*>(&bytes[12]), 17);
        for (int i = 0; i < 4; ++i) {
            bytes[29 + i] = static_cast<char>(crc >> (24 - 8 * i));
        }
    }
    return bytes;
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
    if (const auto bytes = brokenBytes(broken); bytes == "/") {
        fs::create_directory(path);
    } else if (bytes) {
        writeFile(path, *bytes);
    }
    expectOneLine(runPresentation(stage), "quartz-meridian", broken.file, broken.reason);
#ifdef QM_CAPTURE_EXE
    // The capture tool reads the same files through the same loaders, from --assets.
    const TempDir out;
    expectOneLine(runProgram({QM_CAPTURE_EXE, "--assets", stage.dir.path, "--png",
                              out.file("frames"), "--fps", "1"},
                             out.path, startSeconds),
                  "quartz-capture", path,
                  broken.captureReason != nullptr ? broken.captureReason : broken.reason);
    EXPECT_FALSE(fs::exists(out.file("frames/frame_000000.png")));
#endif
}

INSTANTIATE_TEST_SUITE_P(Assets, HostileAsset, testing::ValuesIn(brokenAssets()),
                         [](const testing::TestParamInfo<BrokenAsset>& info) {
                             std::string file = info.param.file;
                             return file.erase(file.find('.'), 1) + "_" + info.param.damage;
                         });

// Odd but valid files play to the end: the plain 3 s track, a 0.1 s track, a track cut off in
// the middle, a fuzzer's 32 kHz file on which the decoder's rate conversion once stalled, a 1x1
// picture, and 16-bit and grey pictures without a palette.
TEST(AppEndToEnd, OddButValidFilesPlayToTheEnd) {
    const TempDir scratch;
    const std::string track = readFile(makeMp3(scratch, "3s.mp3", threeSeconds()));
    std::vector<std::int16_t> tenth;
    square(tenth, 0.1, 30000, 0);
    const struct {
        const char* file;
        std::string bytes;
        double shortest; // seconds the run must last at least
    } cases[] = {
        {musicFileName, track, 2.9},
        {musicFileName, readFile(makeMp3(scratch, "short.mp3", tenth)), 0.05},
        {musicFileName, track.substr(0, track.size() / 2), 1.0},
        {musicFileName,
         readFile(fs::path(__FILE__).parent_path() /
                  "fuzz/regressions/music/music-stalls-decoder.mp3"),
         0.03},
        {pictureFileA, pngBytes(1, 1, LCT_RGBA, 8), 2.9},
        {pictureFileB, pngBytes(33, 17, LCT_RGB, 16), 2.9},
        {pictureFileA, pngBytes(5, 3, LCT_GREY, 16), 2.9},
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
}

// A ten-minute track starts about as quickly as the build's 34 s one, measured just before, and
// Escape ends it: nothing at start-up reads or decodes the whole file.
TEST(AppEndToEnd, TenMinuteTrackStartsAndEndsOnEscape) {
    const Stage reference, stage;
    // Mono at 22050 Hz and 32 kbit/s keeps the encoding quick; the decoder resamples.
    std::vector<std::int16_t> mono(22050 * 600);
    for (std::size_t i = 0; i < mono.size(); ++i) {
        mono[i] = static_cast<std::int16_t>((i / 100) % 2 ? 20000 : -20000);
    }
    std::string failure;
    ASSERT_TRUE(writeMp3(stage.dir.file(musicFileName), mono, 1, 22050, failure, 32)) << failure;
    double started[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        const ProcessRun run = startPresentation(i == 0 ? reference : stage);
        ASSERT_NE(waitForFrame(run, startSeconds), 0u);
        started[i] =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - run.started).count();
        const ProcessResult result = escapeUntilEnded(run, startSeconds);
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
    }
    EXPECT_LT(started[1], 2.0 * started[0] + 1.0) << "34 s track: " << started[0] << " s";
}
