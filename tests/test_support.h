// What every suite shares: a temporary folder, the assets the build made, generated MP3s, and
// running the real executables with their windows found on the suite's X screen.
#pragma once

#include "assets.h"
#include "mp3_writer.h"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;

// Sanitizer builds start, stop and scan processes several times slower: bounds meant to catch a
// hang or a slow start scale by this; tolerances that measure the music clock itself do not.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double slowdown = 4.0;
#else
constexpr double slowdown = 1.0;
#endif

// The file the build made in its own folder (the three assets).
inline std::string builtAsset(const std::string& name) {
    return std::string(QM_BINARY_DIR) + "/" + name;
}

// A seed or saved finding of the fuzzers, relative to tests/fuzz/ in the source tree.
inline std::string fuzzInput(const std::string& name) {
    return (fs::path(__FILE__).parent_path() / "fuzz" / name).string();
}

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

// A fresh folder under the system's temporary directory, removed with everything in it.
struct TempDir {
    fs::path path;
    TempDir();
    TempDir(const TempDir&) = delete;
    ~TempDir();
    std::string file(const std::string& name) const { return (path / name).string(); }
};

// 44100 Hz stereo PCM of `seconds` whose channels are full-cycle square waves of the given
// amplitudes (0 is silence): a square clips at full scale after encoding, so its peak is exactly
// the scale's end. Each call appends to `to`.
void square(std::vector<std::int16_t>& to, double seconds, int left, int right, double hz = 110);
// A left channel whose loudness jumps every 300 samples, so a meter window that starts or ends a
// few samples off reads a different step somewhere.
void busyLeft(std::vector<std::int16_t>& to, double seconds);
// The whole of an MP3 file as 44100 Hz stereo; a failure to decode it fails the test.
std::vector<std::int16_t> decodeOrFail(const std::string& path);
std::string makeMp3(const TempDir& dir, const std::string& name,
                    const std::vector<std::int16_t>& samples, int channels = 2, int rate = 44100);

// A folder holding the build's three assets; `samples`, where given, become the music.
struct Stage {
    TempDir dir;
    explicit Stage(const std::vector<std::int16_t>& samples = {});
};

struct ProcessRun {
    pid_t pid = -1;
    std::string stderrPath;
    std::chrono::steady_clock::time_point started;
};

struct ProcessResult {
    int exitCode = -1, signal = 0; // exit code -1 when a signal ended it or it timed out
    bool timedOut = false;
    double seconds = 0.0;
    std::string standardError;
};

// Changes to the environment; nullopt removes the variable.
using Environment = std::vector<std::pair<std::string, std::optional<std::string>>>;
// NAME=value lines, as the server scripts print them, appended to `to`.
Environment environmentFrom(const std::string& lines, Environment to = {});

ProcessRun startProgram(const std::vector<std::string>& argv, const std::string& cwd,
                        const Environment& environment = {});
// Waits at most `timeoutSeconds`, then kills it.
// Whether it has not ended yet; its exit status stays for finishProgram.
bool stillRunning(const ProcessRun& run);
ProcessResult finishProgram(const ProcessRun& run, double timeoutSeconds);
#ifdef QM_MERIDIAN_EXE
// The presentation, run in `stage`'s folder.
inline ProcessRun startPresentation(const Stage& stage, const Environment& environment = {}) {
    return startProgram({QM_MERIDIAN_EXE}, stage.dir.path.string(), environment);
}
#endif
std::string shellOutput(const std::string& command);

// Reads `fd` until no writer is left or the read fails: a writer held on a full pipe returns.
void readToEnd(int fd);

// Polls `condition` every 10 ms until it holds (true) or `seconds` pass (false).
bool waitUntil(double seconds, const std::function<bool()>& condition);

// One line, "<program>: ...", naming `file` (the end of a quoted path; "" for none) and
// `reason`, exit 1.
void expectOneLine(const ProcessResult& result, const std::string& program, const std::string& file,
                   const std::string& reason);

// The mapped window of process `pid` on the suite's X screen (its _NET_WM_PID), 0 when none.
// Other processes' windows, hidden ones of GL tests included, are never taken for it.
unsigned long windowOf(pid_t pid);
// Waits until `run` shows a drawn frame: its window is mapped and the screen under it is no
// longer the black of an empty screen. The window id, 0 after `seconds`.
unsigned long waitForFrame(const ProcessRun& run, double seconds);
// Windows mapped anywhere on the screen while `action` ran.
int windowsMappedWhile(const std::function<void()>& action);
// Presses Escape every half second until the program ends: a loaded machine can stretch
// start-up past any fixed wait, and a key sent before the window exists is lost.
ProcessResult escapeUntilEnded(const ProcessRun& run, double seconds);

// An X server with real video modes, of the test's own: Xorg on the dummy video driver, one
// output with a 1280x720 desktop and 640x480 among its RandR modes, on the first free display
// from :70. Xorg runs only as root; where it cannot start, `display` is empty and `failure` says
// why. Ends the server, and only it, when destroyed.
struct RealXServer {
    std::string display, failure;
    RealXServer();
    RealXServer(const RealXServer&) = delete;
    ~RealXServer();
    // The mode of its first lit output, "1280x720"; "" when RandR does not answer.
    std::string mode() const;

  private:
    TempDir dir;
    ProcessRun server;
};

// A headless Wayland compositor of the test's own, as scripts/compositor.bash starts it, with one
// 1280x720 output and its Xwayland: "mutter" or "sway" (as nobody). `native` is a Wayland
// client's environment, `x11` an X11 client's on the Xwayland. Where it cannot start, `failure`
// says why. Ends the compositor, and only it, when destroyed.
struct HeadlessCompositor {
    std::string name, failure;
    Environment native, x11;
    explicit HeadlessCompositor(const std::string& name);
    HeadlessCompositor(const HeadlessCompositor&) = delete;
    ~HeadlessCompositor();
    // The size of `pid`'s window while it is shown full screen ("1280x720\n"), else "": sway's
    // view for either kind of client, mutter's for an X11 one; "?" for a native client of mutter,
    // which offers no view of one.
    std::string fullScreenWindow(pid_t pid, bool nativeClient) const;

  private:
    std::string dir;
    // The script's output for this compositor's folder and `arguments`.
    std::string run(const std::string& arguments) const;
};

} // namespace testing_support
