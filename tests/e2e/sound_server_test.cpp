// The presentation on a real sound server of the test's own (PulseAudio with a null sink), through
// what a desktop does to it mid-run: the server restarted, the server gone for good, the sink
// suspended for a while.
#include "test_support.h"

#include <signal.h>

#include <cstdlib>

using namespace qm;
using namespace testing_support;

namespace {

constexpr double trackSeconds = 6.0;

// A PulseAudio server in a short folder of its own (a socket path must fit 108 bytes), so it
// never meets a user's session, with a recorder on its sink's monitor; stopped, and the folder
// removed, however the case ends.
struct PrivatePulse {
    std::string dir, variables; // the variables, as "NAME=value ", that lead a client to it
    pid_t recorder = 0;
    int recordings = 0;

    PrivatePulse() {
        char pattern[] = "/tmp/qm-pulse.XXXXXX";
        dir = ::mkdtemp(pattern) != nullptr ? pattern : "/nonexistent";
        for (const auto& [name, value] : environment()) {
            variables += name + "=" + *value + " ";
        }
        // No autospawn: a client must never start a server of its own when this one is gone.
        writeFile(dir + "/client.conf", "autospawn = no\n");
    }
    ~PrivatePulse() {
        stop();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    Environment environment() const {
        return {{"HOME", dir},
                {"XDG_RUNTIME_DIR", dir},
                {"PULSE_RUNTIME_PATH", dir + "/run"},
                {"PULSE_SERVER", "unix:" + dir + "/native"},
                {"PULSE_CLIENTCONFIG", dir + "/client.conf"}};
    }
    bool run(const std::string& command) const {
        return std::system(("env " + variables + command + " 2>>" + dir + "/log").c_str()) == 0;
    }
    std::string recording() const {
        return dir + "/monitor-" + std::to_string(recordings) + ".wav";
    }

    // Empty when it runs, else why not. An idle null sink renders two seconds ahead, and a
    // client that comes meanwhile waits that out; the recorder asks for 50 ms, so the sink is
    // ready for a player once its latency comes down to that.
    std::string start() {
        if (std::system("command -v pulseaudio pactl parecord sox >/dev/null") != 0) {
            return "pulseaudio, pulseaudio-utils or sox is not installed";
        }
        if (!run("pulseaudio -n --daemonize=yes --exit-idle-time=-1 --use-pid-file=yes "
                 "--log-target=file:" +
                 dir + "/server.log -L 'module-native-protocol-unix socket=" + dir +
                 "/native auth-anonymous=1' -L 'module-null-sink sink_name=qmsink rate=44100'") ||
            !waitUntil(10.0, [&] { return run("pactl info >/dev/null"); }) ||
            !run("pactl set-default-sink qmsink")) {
            return "the server would not start: " + readFile(dir + "/log") +
                   readFile(dir + "/server.log");
        }
        ++recordings;
        recorder = std::atoi(shellOutput("env " + variables +
                                         "parecord --latency-msec=50 -d qmsink.monitor " +
                                         recording() + " >/dev/null 2>&1 & echo $!")
                                 .c_str());
        return waitUntil(10.0,
                         [&] {
                             const std::string sinks =
                                 shellOutput("env " + variables + "pactl list sinks");
                             const std::size_t at = sinks.find("\tLatency: ");
                             return at != std::string::npos &&
                                    std::stol(sinks.substr(at + 10)) < 100'000;
                         })
                   ? ""
                   : "its sink never came down to the recorder's latency";
    }
    void stop() {
        if (recorder > 0) {
            ::kill(recorder, SIGTERM);
            waitUntil(5.0, [&] { return ::kill(recorder, 0) != 0; });
            recorder = 0;
        }
        if (run("pulseaudio --check")) {
            run("pulseaudio --kill");
            waitUntil(10.0, [&] { return !run("pulseaudio --check"); });
        }
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
// with one line; the sink suspended for 3 s holds the picture and the sound together and the run
// goes on to the end.
TEST(SoundServer, TheMusicSurvivesARestartAndAHoldAndSaysWhenTheServerIsGone) {
    PrivatePulse pulse;
    if (const std::string why = pulse.start(); !why.empty()) {
        GTEST_SKIP() << "no private PulseAudio server: " << why;
    }
    std::vector<std::int16_t> samples;
    square(samples, trackSeconds, 16000, 16000);
    const Stage stage(samples);
    Environment environment = pulse.environment();
    environment.push_back({"SDL_AUDIODRIVER", "pulseaudio"});
    using Clock = std::chrono::steady_clock;
    const struct {
        const char* fault;
        int exitCode;
        double shortest, longest; // seconds from the first frame to the end
    } cases[] = {{"restart", 0, trackSeconds + 0.9, trackSeconds + 8.0},
                 {"suspend", 0, trackSeconds + 2.5, trackSeconds + 6.0},
                 {"kill", 1, 1.0 + 4.9, 1.0 + 8.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_TRUE(pulse.run("pulseaudio --check") || pulse.start().empty());
        const ProcessRun run = startPresentation(stage, environment);
        ASSERT_NE(waitForFrame(run, 20.0 * slowdown), 0u)
            << "no frame shown: " << finishProgram(run, 1.0).standardError;
        const auto shown = Clock::now();
        // The moment of the fault and the length of each outage are the conditions under test.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        if (c.fault == std::string("suspend")) {
            pulse.run("pactl suspend-sink qmsink 1");
            std::this_thread::sleep_for(std::chrono::seconds(3));
            pulse.run("pactl suspend-sink qmsink 0");
        } else {
            pulse.stop();
            if (c.exitCode == 0) {
                std::this_thread::sleep_for(std::chrono::seconds(1));
                ASSERT_EQ(pulse.start(), "");
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
            pulse.stop();
            EXPECT_GT(pulse.playedRms(), 0.1) << "the new server was given no sound";
        }
    }
}
