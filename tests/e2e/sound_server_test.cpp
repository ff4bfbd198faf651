// The presentation on a real sound server of the test's own (PulseAudio, and PipeWire reached
// through its PulseAudio server and through SDL's own PipeWire driver, each with a null sink),
// through what a desktop does to it mid-run: the server restarted, or gone for good.
#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>

using namespace qm;
using namespace testing_support;

namespace {

constexpr double trackSeconds = 6.0;

// The server as scripts/sound-server.bash starts it, in a folder of its own that is removed,
// with every daemon stopped, however the case ends.
struct PrivateServer {
    std::string kind, dir;
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
        return environmentFrom(shellOutput(script() + " " + dir + " env"));
    }
    // Empty when it runs, else why not.
    std::string start() {
        if (std::system(("command -v " + kind + " pactl >/dev/null").c_str()) != 0) {
            return kind + " or pulseaudio-utils is not installed";
        }
        running = run("start " + kind);
        return running ? "" : readFile(dir + "/log");
    }
    void stop() {
        run("stop");
        running = false;
    }
};

} // namespace

// A second into the music: the server killed and started again a second later (as a desktop's
// sound service is restarted) is played on from what was heard, and the run ends at the track's
// end, later by the time nothing was heard; the server killed for good ends the run 5 s later
// with one line, as does a server back without its session manager, where SDL's open waits on
// for 30 s and more while the frames must go on. (A device that holds the sound a while is
// HeardClock's.) On each path a desktop takes to its server; SDL's PipeWire driver reports no
// loss, so there the stopped callbacks count as one.
TEST(SoundServer, TheMusicSurvivesARestartAndSaysWhenTheServerIsGone) {
    std::vector<std::int16_t> samples;
    square(samples, trackSeconds, 16000, 16000);
    const Stage stage(samples);
    using Clock = std::chrono::steady_clock;
    const struct {
        const char* fault;
        int exitCode;
        double shortest, longest; // seconds from the first frame to the end
        // Only PipeWire has a session manager to lose.
        bool onPulseAudio, onPipeWire;
    } cases[] = {{"restart", 0, trackSeconds + 0.9, trackSeconds + 8.0, true, true},
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
            server.stop();
            if (c.fault != std::string("kill")) {
                std::this_thread::sleep_for(std::chrono::seconds(1));
                ASSERT_TRUE(c.exitCode == 0 ? server.start().empty()
                                            : server.run("start pipewire-unlinked"));
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
        }
    }
    if (skipped == static_cast<int>(std::size(paths))) {
        GTEST_SKIP() << "no private sound server would start";
    }
}
