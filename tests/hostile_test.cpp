// Hostile assets and faults from outside, end to end through the real executables: every broken
// file stops the run at once with one line naming it and why, exit code 1 and no core; every
// odd but valid file plays; and the window system or a signal taking the run away ends it with
// its documented exit code and nothing left behind.
#include "assets.h"
#include "test_support.h"

#include <lodepng.h>

#include <dlfcn.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include <X11/Xlib.h> // last: its macros (None, Status, Bool) must not meet gtest's headers

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr double failureSeconds = 2.0 * slowdown;

// A fuzzer's finding: a short 32 kHz file on which the decoder's own rate conversion stalled.
const std::string stallingTrack =
    fs::path(__FILE__).parent_path() / "fuzz/regressions/music/music-stalls-decoder.mp3";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string builtAsset(const std::string& name) {
    return readFile(std::string(QM_BINARY_DIR) + "/" + name);
}

std::string randomBytes(std::size_t count) {
    std::mt19937 generator(20240611);
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

// A short valid track, made once per process: LAME is the slow part of every case.
const std::string& shortTrack() {
    static const std::string bytes = [] {
        TempDir dir;
        auto samples = squareStereo(1.5, 44100, 0, 0);
        append(samples, squareStereo(1.5, 44100, 30000, 12000));
        return readFile(makeMp3(dir, "track.mp3", samples));
    }();
    return bytes;
}

std::string pngBytes(unsigned width, unsigned height, LodePNGColorType type, unsigned depth) {
    const std::size_t channels = type == LCT_RGB ? 3 : type == LCT_RGBA ? 4 : 1;
    std::vector<unsigned char> raw(std::size_t{width} * height * channels * depth / 8, 0x7F);
    lodepng::State state;
    state.encoder.auto_convert = 0;
    state.info_raw.colortype = state.info_png.color.colortype = type;
    state.info_raw.bitdepth = state.info_png.color.bitdepth = depth;
    std::vector<unsigned char> png;
    EXPECT_EQ(0u, lodepng::encode(png, raw, width, height, state));
    return {png.begin(), png.end()};
}

// A valid 1x1 PNG whose header then claims 100000x100000 pixels, with the header's CRC fixed so
// only the size is wrong.
std::string hugeHeaderPng() {
    std::string png = pngBytes(1, 1, LCT_RGBA, 8);
    for (int offset : {16, 20}) {
        png.replace(offset, 4, std::string("\x00\x01\x86\xA0", 4));
    }
    const unsigned crc = lodepng_crc32(reinterpret_cast<const unsigned char*>(png.data()) + 12, 17);
    for (int i = 0; i < 4; ++i) {
        png[29 + i] = static_cast<char>(crc >> (24 - 8 * i));
    }
    return png;
}

// An ID3v2 tag of 2 KiB of padding and nothing after it: metadata, no audio.
std::string id3TagOnly() {
    return std::string("ID3\x03\x00\x00\x00\x00\x10\x00", 10) + std::string(2048, '\0');
}

// What a case does to one of the three files in an otherwise complete working folder.
enum class Damage { missing, empty, folder, truncated, random, wrongFormat, id3Only, hugeHeader };

void damage(const std::string& path, Damage how) {
    const bool music = path.size() > 4 && path.substr(path.size() - 4) == ".mp3";
    fs::remove(path);
    switch (how) {
    case Damage::missing:
        break;
    case Damage::empty:
        writeFile(path, "");
        break;
    case Damage::folder:
        fs::create_directory(path);
        break;
    // Cut inside the first frames: a track cut later still plays the part that is there.
    case Damage::truncated:
        writeFile(path,
                  music ? shortTrack().substr(0, 400) : builtAsset(pictureFileA).substr(0, 3000));
        break;
    case Damage::random:
        writeFile(path, randomBytes(8192));
        break;
    case Damage::wrongFormat:
        writeFile(path, music ? pngBytes(64, 48, LCT_RGB, 8) : shortTrack());
        break;
    case Damage::id3Only:
        writeFile(path, id3TagOnly());
        break;
    case Damage::hugeHeader:
        writeFile(path, hugeHeaderPng());
        break;
    }
}

// A working folder holding the two built pictures and a short valid track.
struct Stage {
    TempDir dir;
    Stage() {
        for (const char* picture : {pictureFileA, pictureFileB}) {
            fs::copy_file(std::string(QM_BINARY_DIR) + "/" + picture, dir.file(picture));
        }
        writeFile(dir.file(musicFileName), shortTrack());
    }
    ProcessResult run(double timeoutSeconds, const EnvironmentChanges& environment = {}) const {
        return finishProgram(startProgram({QM_MERIDIAN_EXE}, dir.path.string(), environment),
                             timeoutSeconds);
    }
};

// The one line a start-up failure prints, checked for the program, the file and the reason.
void expectOneLineFailure(const ProcessResult& result, const std::string& program,
                          const std::string& file, const std::string& reason) {
    EXPECT_EQ(result.signal, 0) << "killed by signal " << result.signal << ": "
                                << result.standardError;
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 1) << result.standardError;
    EXPECT_LT(result.seconds, failureSeconds);
    const std::string& text = result.standardError;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_EQ(text.rfind(program + ": ", 0), 0u) << text;
    EXPECT_NE(text.find(file + "\""), std::string::npos) << text; // the end of a quoted path
    EXPECT_NE(text.find(reason), std::string::npos) << text;
}

struct BrokenAsset {
    const char* file;
    Damage damage;
    const char* reason;        // part of the live run's line; nullptr: covered in app_test
    const char* captureReason; // part of quartz-capture's line; nullptr: the same as `reason`
};

const char* damageName(Damage damage) {
    static const char* names[] = {"Missing", "Empty",       "Folder",  "Truncated",
                                  "Random",  "WrongFormat", "Id3Only", "HugeHeader"};
    return names[static_cast<int>(damage)];
}

std::string caseName(const testing::TestParamInfo<BrokenAsset>& info) {
    std::string file = info.param.file;
    file.erase(std::remove_if(file.begin(), file.end(), [](char c) { return !std::isalnum(c); }),
               file.end());
    return file + "_" + damageName(info.param.damage);
}

constexpr char noAudio[] = "no MPEG audio found in the file";
constexpr char notMp3[] = "not an MP3 file";
constexpr char notPng[] = "not a valid PNG";

const BrokenAsset brokenAssets[] = {
    {musicFileName, Damage::missing, nullptr, "No such file or directory"},
    {musicFileName, Damage::empty, "the file is empty", nullptr},
    {musicFileName, Damage::folder, "it is a folder, not a file", "is not a file"},
    {musicFileName, Damage::truncated, noAudio, nullptr},
    {musicFileName, Damage::random, notMp3, nullptr},
    {musicFileName, Damage::wrongFormat, notMp3, nullptr},
    {musicFileName, Damage::id3Only, noAudio, nullptr},
    {pictureFileA, Damage::missing, "No such file or directory", nullptr},
    {pictureFileA, Damage::empty, "the file is empty", nullptr},
    {pictureFileA, Damage::folder, "it is a folder, not a file", "is not a file"},
    {pictureFileA, Damage::truncated, notPng, nullptr},
    {pictureFileA, Damage::random, notPng, nullptr},
    {pictureFileA, Damage::wrongFormat, notPng, nullptr},
    {pictureFileA, Damage::hugeHeader, "100000x100000", nullptr},
    {pictureFileB, Damage::missing, "No such file or directory", nullptr},
    {pictureFileB, Damage::empty, "the file is empty", nullptr},
    {pictureFileB, Damage::folder, "it is a folder, not a file", "is not a file"},
    {pictureFileB, Damage::truncated, notPng, nullptr},
    {pictureFileB, Damage::random, notPng, nullptr},
    {pictureFileB, Damage::wrongFormat, notPng, nullptr},
    {pictureFileB, Damage::hugeHeader, "100000x100000", nullptr},
};

// Names the case in gtest's listing; the default, a byte dump, garbles CTest's test names.
void PrintTo(const BrokenAsset& broken, std::ostream* out) {
    *out << broken.file << " " << damageName(broken.damage);
}

class HostileAsset : public testing::TestWithParam<BrokenAsset> {};

// What a window manager sends when the user clicks the close box: WM_DELETE_WINDOW. Xvfb runs
// without one, so the test plays its part; libX11 is loaded here so the test binary needs no
// link to it.
bool askWindowToClose(unsigned long window) {
    void* x11 = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (x11 == nullptr) {
        return false;
    }
    auto openDisplay = reinterpret_cast<Display* (*)(const char*)>(dlsym(x11, "XOpenDisplay"));
    auto internAtom =
        reinterpret_cast<Atom (*)(Display*, const char*, int)>(dlsym(x11, "XInternAtom"));
    auto sendEvent =
        reinterpret_cast<int (*)(Display*, Window, int, long, XEvent*)>(dlsym(x11, "XSendEvent"));
    auto closeDisplay = reinterpret_cast<int (*)(Display*)>(dlsym(x11, "XCloseDisplay"));
    Display* display = openDisplay != nullptr ? openDisplay(nullptr) : nullptr;
    if (display == nullptr || internAtom == nullptr || sendEvent == nullptr) {
        return false;
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = internAtom(display, "WM_PROTOCOLS", 0);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(internAtom(display, "WM_DELETE_WINDOW", 0));
    event.xclient.data.l[1] = CurrentTime;
    const bool sent = sendEvent(display, window, 0, NoEventMask, &event) != 0;
    closeDisplay(display); // flushes the event
    return sent;
}

// The tests below start and stop programs that write to the shared Xvfb screen; a window left
// behind by one case must not be found by the next.
bool noWindowLeft() {
    for (int i = 0; i < 20 && windowShown(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return !windowShown();
}

} // namespace

TEST_P(HostileAsset, StopsAtOnceNamingTheFileAndTheReason) {
    const BrokenAsset& broken = GetParam();
    Stage stage;
    damage(stage.dir.file(broken.file), broken.damage);
    if (broken.reason != nullptr) {
        const ProcessResult result = stage.run(3 * failureSeconds);
        expectOneLineFailure(result, "quartz-meridian", broken.file, broken.reason);
        EXPECT_TRUE(noWindowLeft());
    }
#ifdef QM_CAPTURE_EXE
    // The capture tool reads the same files through the same loaders, from --assets.
    TempDir out;
    const ProcessResult result =
        finishProgram(startProgram({QM_CAPTURE_EXE, "--assets", stage.dir.path.string(), "--png",
                                    out.file("frames"), "--fps", "1"},
                                   out.path.string()),
                      3 * failureSeconds);
    expectOneLineFailure(result, "quartz-capture", broken.file,
                         broken.captureReason != nullptr ? broken.captureReason : broken.reason);
    EXPECT_FALSE(fs::exists(out.file("frames/frame_000000.png")));
#endif
}

INSTANTIATE_TEST_SUITE_P(Assets, HostileAsset, testing::ValuesIn(brokenAssets), caseName);

// libmpg123 finds plausible frame headers in the compressed data of the built tovrel.png; a
// picture must still be refused as music rather than play as a burst of noise.
TEST(HostileMusic, BuiltPictureNamedAsTheMusicIsRefused) {
    Stage stage;
    writeFile(stage.dir.file(musicFileName), builtAsset(pictureFileB));
    expectOneLineFailure(stage.run(3 * failureSeconds), "quartz-meridian", musicFileName, "");
}

// Odd but valid files play to the end: a track of 0.1 s, a track cut off in the middle, a 1x1
// picture, and 16-bit and grey pictures without a palette.
TEST(HostileAssetPlays, OddButValidFilesPlayToTheEnd) {
    const struct {
        const char* file;
        std::string bytes;
        double shortest; // seconds the run must last at least
    } cases[] = {
        {musicFileName,
         [] {
             TempDir dir;
             return readFile(makeMp3(dir, "short.mp3", squareStereo(0.1, 44100, 30000, 0)));
         }(),
         0.05},
        {musicFileName, shortTrack().substr(0, shortTrack().size() / 2), 1.0},
        {musicFileName, readFile(stallingTrack), 0.03},
        {pictureFileA, pngBytes(1, 1, LCT_RGBA, 8), 2.5},
        {pictureFileB, pngBytes(33, 17, LCT_RGB, 16), 2.5},
        {pictureFileA, pngBytes(5, 3, LCT_GREY, 16), 2.5},
    };
    for (const auto& each : cases) {
        Stage stage;
        writeFile(stage.dir.file(each.file), each.bytes);
        const ProcessResult result = stage.run(15.0);
        EXPECT_EQ(result.exitCode, 0) << each.file << ": " << result.standardError;
        EXPECT_TRUE(result.standardError.empty()) << result.standardError;
        EXPECT_GT(result.seconds, each.shortest) << each.file;
        EXPECT_LT(result.seconds, 3.0 * slowdown + 2.0) << each.file;
    }
}

// A ten-minute track starts as quickly as a short one and Escape ends it: nothing at start-up
// reads or decodes the whole file.
TEST(HostileAssetPlays, TenMinuteTrackStartsAndEndsOnEscape) {
    Stage stage;
    {
        // Mono at 22050 Hz and 32 kbit/s keeps the encoding quick; the decoder resamples.
        std::vector<std::int16_t> mono(22050 * 600);
        for (std::size_t i = 0; i < mono.size(); ++i) {
            mono[i] = static_cast<std::int16_t>((i / 100) % 2 ? 20000 : -20000);
        }
        std::string failure;
        ASSERT_TRUE(writeMp3(stage.dir.file(musicFileName), mono, 1, 22050, failure, 32))
            << failure;
    }
    const ProcessRun run = startProgram({QM_MERIDIAN_EXE}, stage.dir.path.string());
    ASSERT_NE(waitForWindow(3.0 * slowdown), 0u);
    const double started =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - run.started).count();
    const ProcessResult result = escapeUntilEnded(run, 5.0 * slowdown);
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_TRUE(result.standardError.empty()) << result.standardError;
    EXPECT_LT(started, 2.0 * slowdown);
}

// The window system takes the window away. A close request (what a window manager's close box
// sends) ends the run like Escape. A window destroyed by another client, or the X connection
// killed, leaves Xlib nothing to do but print its reason and exit(1): the run must still end
// with that code, not abort with a core from tearing down live threads.
TEST(HostileFault, WindowSystemTakingTheWindowEndsTheRunCleanly) {
    Stage stage;
    {
        auto samples = squareStereo(30.0, 44100, 20000, 20000);
        makeMp3(stage.dir, musicFileName, samples);
    }
    {
        const ProcessRun run = startProgram({QM_MERIDIAN_EXE}, stage.dir.path.string());
        const unsigned long window = waitForWindow(5.0 * slowdown);
        ASSERT_NE(window, 0u);
        ASSERT_TRUE(askWindowToClose(window));
        const ProcessResult result = finishProgram(run, 5.0 * slowdown);
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        EXPECT_TRUE(result.standardError.empty()) << result.standardError;
        EXPECT_TRUE(noWindowLeft());
    }
    for (const char* how : {"windowclose", "windowkill"}) {
        const ProcessRun run = startProgram({QM_MERIDIAN_EXE}, stage.dir.path.string());
        const unsigned long window = waitForWindow(5.0 * slowdown);
        ASSERT_NE(window, 0u) << how;
        std::system(("xdotool " + std::string(how) + " " + std::to_string(window)).c_str());
        const ProcessResult result = finishProgram(run, 5.0 * slowdown);
        EXPECT_EQ(result.signal, 0) << how << ": " << result.standardError;
        EXPECT_EQ(result.exitCode, 1) << how << ": " << result.standardError;
        EXPECT_NE(result.standardError.find("X"), std::string::npos) << result.standardError;
        EXPECT_EQ(result.standardError.find("terminate"), std::string::npos)
            << result.standardError;
        EXPECT_TRUE(noWindowLeft()) << how;
    }
}

// A driver that offers less than OpenGL 3.3 is refused at start-up with its own words.
TEST(HostileFault, OpenGlBelowThreeThreeIsRefusedWithOneLine) {
    Stage stage;
    const ProcessResult result =
        stage.run(3 * failureSeconds,
                  {{"MESA_GL_VERSION_OVERRIDE", "3.0"}, {"MESA_GLSL_VERSION_OVERRIDE", "130"}});
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exitCode, 1) << result.standardError;
    EXPECT_LT(result.seconds, failureSeconds);
    const std::string& text = result.standardError;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_TRUE(text.rfind("quartz-meridian: cannot open the full-screen window: ", 0) == 0 ||
                text.rfind("quartz-meridian: needs OpenGL 3.3", 0) == 0)
        << text;
    EXPECT_TRUE(noWindowLeft());
}

// SIGHUP (the terminal went away) ends the run like SIGINT and SIGTERM, with 128 + 1.
TEST(HostileFault, HangUpEndsTheRunWithItsExitCode) {
    Stage stage;
    const ProcessRun run = startProgram({QM_MERIDIAN_EXE}, stage.dir.path.string());
    ASSERT_NE(waitForWindow(5.0 * slowdown), 0u);
    ::kill(run.pid, SIGHUP);
    const ProcessResult result = finishProgram(run, 5.0 * slowdown);
    EXPECT_EQ(result.exitCode, 129) << result.standardError;
    EXPECT_TRUE(result.standardError.empty()) << result.standardError;
    EXPECT_TRUE(noWindowLeft());
}

#ifdef QM_CAPTURE_EXE

namespace {

std::vector<fs::path> framesIn(const std::string& folder) {
    std::vector<fs::path> frames;
    if (fs::is_directory(folder)) {
        for (const auto& entry : fs::directory_iterator(folder)) {
            frames.push_back(entry.path());
        }
    }
    std::sort(frames.begin(), frames.end());
    return frames;
}

// Every frame file decodes as a whole 640x480 picture.
void expectReadableFrames(const std::vector<fs::path>& frames) {
    for (const fs::path& frame : frames) {
        std::vector<unsigned char> rgba;
        unsigned width = 0;
        unsigned height = 0;
        EXPECT_EQ(0u, lodepng::decode(rgba, width, height, frame.string())) << frame;
        EXPECT_EQ(width, 640u) << frame;
        EXPECT_EQ(height, 480u) << frame;
    }
}

// Waits until `folder` holds at least `count` frames, at most `seconds`.
bool waitForFrames(const std::string& folder, std::size_t count, double seconds) {
    const auto start = std::chrono::steady_clock::now();
    while (framesIn(folder).size() < count) {
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >
            seconds) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Processes the capture started that are still alive (its own Xvfb, ffmpeg).
std::string childrenOf(pid_t pid) {
    return shellOutput("pgrep -P " + std::to_string(pid));
}

std::string longTrack(const TempDir& dir, double seconds) {
    auto samples = squareStereo(seconds, 44100, 25000, 8000);
    return readFile(makeMp3(dir, "long.mp3", samples));
}

ProcessRun startCapture(const Stage& stage, const std::vector<std::string>& options,
                        const std::string& cwd) {
    std::vector<std::string> argv = {QM_CAPTURE_EXE, "--assets", stage.dir.path.string()};
    argv.insert(argv.end(), options.begin(), options.end());
    return startProgram(argv, cwd);
}

} // namespace

// Odd but valid input captures: a 0.1 s track gives its six frames at 60 fps, and an asset
// folder whose path has spaces and non-ASCII characters is read and reported intact.
TEST(HostileCapture, ShortTrackAndAnUnusualAssetPathCapture) {
    Stage stage;
    {
        TempDir scratch;
        writeFile(stage.dir.file(musicFileName),
                  readFile(makeMp3(scratch, "short.mp3", squareStereo(0.1, 44100, 30000, 0))));
    }
    TempDir out;
    ProcessResult result = finishProgram(
        startCapture(stage, {"--png", out.file("short"), "--fps", "60"}, out.path.string()),
        30.0 * slowdown);
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(framesIn(out.file("short")).size(), 6u);
    expectReadableFrames(framesIn(out.file("short")));

    // 0.036 s of 32 kHz music that once kept the decoder busy for a minute: three frames, at once.
    writeFile(stage.dir.file(musicFileName), readFile(stallingTrack));
    result = finishProgram(
        startCapture(stage, {"--png", out.file("stall"), "--fps", "60"}, out.path.string()),
        30.0 * slowdown);
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(framesIn(out.file("stall")).size(), 3u);
    EXPECT_LT(result.seconds, 5.0 * slowdown);

    const fs::path odd = stage.dir.path / "with spaces" / "b\xC3\xBChne \xE2\x98\x83";
    fs::create_directories(odd);
    for (const char* name : assetFileNames) {
        fs::copy_file(stage.dir.file(name), odd / name);
    }
    writeFile(stage.dir.file(musicFileName), shortTrack());
    fs::copy_file(stage.dir.file(musicFileName), odd / musicFileName,
                  fs::copy_options::overwrite_existing);
    result = finishProgram(startProgram({QM_CAPTURE_EXE, "--assets", odd.string(), "--png",
                                         out.file("odd"), "--fps", "4", "--to", "0.5"},
                                        out.path.string()),
                           30.0 * slowdown);
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(framesIn(out.file("odd")).size(), 2u);
    expectReadableFrames(framesIn(out.file("odd")));

    damage((odd / pictureFileB).string(), Damage::truncated);
    result = finishProgram(startProgram({QM_CAPTURE_EXE, "--assets", odd.string(), "--png",
                                         out.file("broken"), "--fps", "4"},
                                        out.path.string()),
                           3 * failureSeconds);
    expectOneLineFailure(result, "quartz-capture", (odd / pictureFileB).string(), notPng);
}

// SIGTERM and SIGHUP mid-capture (SIGINT is in capture_test): the documented code, one line
// saying what was written, every frame on disk whole, and no Xvfb or ffmpeg left behind.
TEST(HostileCapture, SignalsMidCaptureKeepWhatWasWritten) {
    Stage stage;
    writeFile(stage.dir.file(musicFileName), longTrack(stage.dir, 30.0));
    for (const auto& [signalNumber, exitCode] : {std::pair{SIGTERM, 143}, std::pair{SIGHUP, 129}}) {
        TempDir out;
        const ProcessRun run = startCapture(
            stage, {"--png", out.file("frames"), "--video", out.file("v.mp4"), "--fps", "30"},
            out.path.string());
        ASSERT_TRUE(waitForFrames(out.file("frames"), 3, 20.0 * slowdown)) << signalNumber;
        ::kill(run.pid, signalNumber);
        const ProcessResult result = finishProgram(run, 20.0 * slowdown);
        EXPECT_EQ(result.exitCode, exitCode) << result.standardError;
        EXPECT_NE(result.standardError.find("stopped by SIG"), std::string::npos)
            << result.standardError;
        expectReadableFrames(framesIn(out.file("frames")));
        EXPECT_TRUE(fs::file_size(out.file("v.mp4")) > 0);
        EXPECT_EQ(childrenOf(run.pid), "");
    }
}

// ffmpeg dying in the middle of a video capture is reported in one line with exit code 1, and
// the PNG frames written beside the video stay readable.
TEST(HostileCapture, FfmpegKilledMidCaptureIsReported) {
    Stage stage;
    writeFile(stage.dir.file(musicFileName), longTrack(stage.dir, 30.0));
    TempDir out;
    const ProcessRun run = startCapture(
        stage, {"--png", out.file("frames"), "--video", out.file("v.mp4"), "--fps", "30"},
        out.path.string());
    ASSERT_TRUE(waitForFrames(out.file("frames"), 3, 20.0 * slowdown));
    const std::string ffmpeg = shellOutput("pgrep -P " + std::to_string(run.pid) + " -x ffmpeg");
    ASSERT_FALSE(ffmpeg.empty());
    ::kill(static_cast<pid_t>(std::stol(ffmpeg)), SIGKILL);
    const ProcessResult result = finishProgram(run, 20.0 * slowdown);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exitCode, 1) << result.standardError;
    EXPECT_EQ(std::count(result.standardError.begin(), result.standardError.end(), '\n'), 1)
        << result.standardError;
    EXPECT_NE(result.standardError.find("ffmpeg"), std::string::npos) << result.standardError;
    expectReadableFrames(framesIn(out.file("frames")));
    EXPECT_EQ(childrenOf(run.pid), "");
}

// The output disk filling up during a PNG capture: one line naming the frame and the reason,
// exit code 1, and every frame left on the disk whole (the one that did not fit is removed).
TEST(HostileCapture, FullDiskStopsWithWholeFramesBehind) {
    Stage stage;
    writeFile(stage.dir.file(musicFileName), longTrack(stage.dir, 30.0));
    TempDir out;
    const std::string disk = out.file("disk");
    fs::create_directory(disk);
    if (::mount("qm-full-disk", disk.c_str(), "tmpfs", 0, "size=2m") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    }
    const ProcessResult result = finishProgram(
        startCapture(stage, {"--png", disk + "/frames", "--fps", "30"}, out.path.string()),
        60.0 * slowdown);
    const std::vector<fs::path> frames = framesIn(disk + "/frames");
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exitCode, 1) << result.standardError;
    EXPECT_EQ(std::count(result.standardError.begin(), result.standardError.end(), '\n'), 1)
        << result.standardError;
    EXPECT_NE(result.standardError.find("No space left on device"), std::string::npos)
        << result.standardError;
    EXPECT_FALSE(frames.empty());
    expectReadableFrames(frames);
    ::umount2(disk.c_str(), MNT_DETACH);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Nothing grows per frame: a ten-minute capture to video peaks within 10 % of a 30 s one's
// memory. One frame a second keeps it to 600 frames; per-frame growth would still show. wait4's
// peak is the larger of the capture's and its ffmpeg's, whose own use does not depend on the
// length. Left out of the sanitizer builds, whose allocators keep freed memory in quarantine on
// purpose.
TEST(HostileCapture, TenMinuteCapturePeaksLikeAShortOne) {
    const auto peakKilobytes = [](const Stage& stage, const std::string& out) {
        const ProcessRun run = startCapture(stage, {"--video", out, "--fps", "1"},
                                            fs::path(out).parent_path().string());
        int status = 0;
        rusage usage{};
        ::wait4(run.pid, &status, 0, &usage);
        std::filesystem::remove(run.stderrPath);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
        return usage.ru_maxrss;
    };
    TempDir out;
    Stage stage;
    writeFile(stage.dir.file(musicFileName), longTrack(stage.dir, 30.0));
    const long shortPeak = peakKilobytes(stage, out.file("short.mp4"));
    {
        std::vector<std::int16_t> mono(22050 * 600);
        for (std::size_t i = 0; i < mono.size(); ++i) {
            mono[i] = static_cast<std::int16_t>((i / 100) % 2 ? 20000 : -20000);
        }
        std::string failure;
        ASSERT_TRUE(writeMp3(stage.dir.file(musicFileName), mono, 1, 22050, failure, 32))
            << failure;
    }
    const long longPeak = peakKilobytes(stage, out.file("long.mp4"));
    RecordProperty("shortPeakKiB", static_cast<int>(shortPeak));
    RecordProperty("longPeakKiB", static_cast<int>(longPeak));
    EXPECT_LT(static_cast<double>(longPeak), 1.10 * static_cast<double>(shortPeak))
        << "30 s: " << shortPeak << " KiB, 10 min: " << longPeak << " KiB";
}
#endif

#endif // QM_CAPTURE_EXE
