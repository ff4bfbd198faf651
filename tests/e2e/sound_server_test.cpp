// The presentation on a real sound server of the test's own (PulseAudio, and PipeWire reached
// through its PulseAudio server and through SDL's own PipeWire driver, each with a null sink),
// through what a desktop does to it mid-run: the server restarted, the server gone for good, the
// sink suspended for a while.
#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <sstream>

using namespace qm;
using namespace testing_support;

namespace {

constexpr double trackSeconds = 6.0;

// The server as scripts/sound-server.bash starts it, in a folder of its own that is removed,
// with every daemon stopped, however the case ends; a recorder on its sink's monitor each time
// it starts.
struct PrivateServer {
    std::string kind, dir;
    int recordings = 0;
    bool running = false;

    explicit PrivateServer(const char* kind) : kind(kind) {
        dir = shellOutput(script() + " new qm-snd");
        dir.erase(dir.find_last_not_of('\n') + 1);
    }
    ~PrivateServer() {
        stop();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    static std::string script() {
        return (fs::path(__FILE__).parent_path() / "../../scripts/sound-server.bash").string();
    }
    bool run(const std::string& command) const {
        return std::system(
                   (script() + " " + dir + " " + command + " 2>>" + dir + "/log").c_str()) == 0;
    }
    Environment environment() const {
        Environment variables;
        std::istringstream lines(shellOutput(script() + " " + dir + " env"));
        for (std::string line; std::getline(lines, line);) {
            variables.push_back({line.substr(0, line.find('=')), line.substr(line.find('=') + 1)});
        }
        return variables;
    }
    std::string recording() const {
        return dir + "/monitor-" + std::to_string(recordings) + ".wav";
    }
    // Empty when it runs, else why not.
    std::string start() {
        if (std::system(("command -v " + kind + " pactl parecord sox >/dev/null").c_str()) != 0) {
            return kind + ", pulseaudio-utils or sox is not installed";
        }
        ++recordings;
        running = run("start " + kind) && run("record " + recording());
        return running ? "" : readFile(dir + "/log");
    }
    void stop() {
        run("stop");
        running = false;
    }
    // The RMS amplitude of what the sink played while the server last ran, 0..1.
    double playedRms() const {
        const std::string stat = shellOutput("sox " + recording() + " -n stat 2>&1");
        const std::size_t at = stat.find("RMS     amplitude:");
        return at == std::string::npos ? 0.0 : std::atof(stat.c_str() + at + 18);
    }
};

} // namespace

// A second into the music: the server killed and started again a second later (as a desktop's
// sound service is restarted) is played on from what was heard, and the run ends at the track's
// end, later by the time nothing was heard; the server killed for good ends the run 5 s later
// with one line, as does a server back without its session manager, where SDL's open waits on
// for 30 s and more while the frames must go on; the sink suspended for 3 s holds the picture and
// the sound together and the run goes on to the end. On each path a desktop takes to its server;
// SDL's PipeWire driver reports no loss, so there the stopped callbacks count as one.
TEST(SoundServer, TheMusicSurvivesARestartAndAHoldAndSaysWhenTheServerIsGone) {
    std::vector<std::int16_t> samples;
    square(samples, trackSeconds, 16000, 16000);
    const Stage stage(samples);
    using Clock = std::chrono::steady_clock;
    const struct {
        const char* fault;
        int exitCode;
        double shortest, longest; // seconds from the first frame to the end
        // PipeWire's graph plays on through a suspended sink: nothing is held there. Only
        // PipeWire has a session manager to lose.
        bool onPulseAudio, onPipeWire;
    } cases[] = {{"restart", 0, trackSeconds + 0.9, trackSeconds + 8.0, true, true},
                 {"suspend", 0, trackSeconds + 2.5, trackSeconds + 6.0, true, false},
                 {"kill", 1, 1.0 + 4.9, 1.0 + 8.0, true, true},
                 {"unlink", 1, 1.0 + 4.9, 1.0 + 8.0, false, true}};
    const struct {
        const char *server, *driver;
    } paths[] = {
        {"pulseaudio", "pulseaudio"}, {"pipewire", "pulseaudio"}, {"pipewire", "pipewire"}};
    int skipped = 0;
    for (const auto& path : paths) {
        SCOPED_TRACE(std::string(path.server) + " through SDL's " + path.driver + " driver");
        PrivateServer server(path.server);
        if (const std::string why = server.start(); !why.empty()) {
            std::printf("no private %s server: %s\n", path.server, why.c_str());
            ++skipped;
            continue;
        }
        Environment environment = server.environment();
        environment.push_back({"SDL_AUDIODRIVER", path.driver});
        for (const auto& c : cases) {
            SCOPED_TRACE(c.fault);
            if (!(server.kind == "pipewire" ? c.onPipeWire : c.onPulseAudio)) {
                continue;
            }
            ASSERT_TRUE(server.running || server.start().empty());
            const ProcessRun run = startPresentation(stage, environment);
            ASSERT_NE(waitForFrame(run, 20.0 * slowdown), 0u)
                << "no frame shown: " << finishProgram(run, 1.0).standardError;
            const auto shown = Clock::now();
            // The moment of the fault and the length of each outage are the conditions under
            // test.
            std::this_thread::sleep_for(std::chrono::seconds(1));
            if (c.fault == std::string("suspend")) {
                server.run("run pactl suspend-sink qmsink 1");
                std::this_thread::sleep_for(std::chrono::seconds(3));
                server.run("run pactl suspend-sink qmsink 0");
            } else {
                server.stop();
                if (c.fault != std::string("kill")) {
                    std::this_thread::sleep_for(std::chrono::seconds(1));
                    ASSERT_TRUE(c.exitCode == 0 ? server.start().empty()
                                                : server.run("start pipewire-unlinked"));
                }
            }
            const ProcessResult result = finishProgram(run, 30.0 * slowdown);
            const double played = std::chrono::duration<double>(Clock::now() - shown).count();
            if (c.exitCode == 0) {
                EXPECT_EQ(std::make_tuple(result.exitCode, result.signal), std::make_tuple(0, 0))
                    << result.standardError;
                EXPECT_EQ(result.standardError, "");
            } else {
                expectOneLine(result, "quartz-meridian", "",
                              " s of the music and none came back within 5 s: ");
            }
            EXPECT_GE(played, c.shortest);
            EXPECT_LE(played, c.longest * slowdown);
            if (c.fault == std::string("restart")) {
                server.stop();
                EXPECT_GT(server.playedRms(), 0.1) << "the new server was given no sound";
            }
        }
    }
    if (skipped == static_cast<int>(std::size(paths))) {
        GTEST_SKIP() << "no private sound server would start";
    }
}
