// Measures how far the picture runs ahead of the sound on a real sound server. A click track
// (a short left-channel burst every second) plays through the music clock while a loop notes
// the monotonic time at which the music clock's reading first reaches each click, as a frame would.
// A recorder on the sink's monitor notes when the sink really played each click: the time a chunk
// is read, less the latency the server reports for it (negative on a monitor, since the sink
// renders ahead of playing). Offset = heard - shown: positive means the picture is early.
//   bench/measure-sync [build folder] [-- sync_bench options]   (starts a private server)
//   SDL_AUDIODRIVER=pulseaudio ./bench/sync_bench [--runs N] [--clicks N] [--poll HZ]
//                          [--fragment MS] [--source NAME]   (from the build folder)
//                          [--reconnect 1] [--restart-at SEC --restart-command CMD]
//                          (the recorder follows a server that is restarted, CMD SEC seconds
//                          into each run, and the clicks after that are reported apart)
// bench/web-sync drives a browser instead of the clock, with the two halves of this tool:
//   sync_bench --clicks N --write-track FILE   writes the click track, prints its click times
//   sync_bench --listen SECONDS                records until stdin closes (or SECONDS pass) and
//                                              prints the wall-clock time each click played
#include "audio/decoder.h"
#include "audio/music.h"
#include "mp3_writer.h"

#include <SDL.h>
#include <pulse/pulseaudio.h>
#ifdef QM_HAVE_PIPEWIRE
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

using namespace qm;

namespace {

constexpr char defaultTrackPath[] = "sync_bench_clicks.mp3";
constexpr double pi = 3.14159265358979323846;
constexpr double burstSeconds = 0.010;
constexpr double burstHertz = 2000.0;
// Half scale: well above the pre-echo the encoder smears ahead of a sharp burst.
constexpr int onsetLevel = 16384;
constexpr std::uint64_t quietBeforeOnset = playbackRate * 3 / 10;

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The system clock, which a browser's performance.timeOrigin + performance.now() follows; the
// monotonic clock above is what the recorder stamps with, since the system clock may be slewed.
double systemSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? NAN : n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// The same test finds the clicks in the decoded track and in the recording, so whatever the
// encoder does to the burst's leading edge shows up on both sides alike.
struct OnsetDetector {
    std::uint64_t quietFrames = quietBeforeOnset;

    bool feed(std::int16_t left) {
        if (std::abs(static_cast<int>(left)) < onsetLevel) {
            ++quietFrames;
            return false;
        }
        const bool onset = quietFrames >= quietBeforeOnset;
        quietFrames = 0;
        return onset;
    }
};

bool writeClickTrack(const char* trackPath, int clicks, std::string& failure) {
    const std::size_t frames = static_cast<std::size_t>((clicks + 1.5) * playbackRate);
    std::vector<std::int16_t> samples(frames * 2, 0);
    const auto burstFrames = static_cast<std::size_t>(burstSeconds * playbackRate);
    for (int click = 1; click <= clicks; ++click) {
        const auto first = static_cast<std::size_t>(click) * playbackRate;
        for (std::size_t i = 0; i < burstFrames; ++i) {
            const double phase = 2.0 * pi * burstHertz * static_cast<double>(i) / playbackRate;
            samples[(first + i) * 2] = static_cast<std::int16_t>(29000.0 * std::sin(phase));
        }
    }
    return writeMp3(trackPath, samples, 2, playbackRate, failure);
}

// Stream positions of the clicks as the decoder hands them to the device.
std::vector<double> decodedOnsets(const char* trackPath, std::string& failure) {
    std::vector<std::int16_t> frames;
    std::vector<double> onsets;
    if (!decodeWholeMp3(trackPath, frames, failure)) {
        return onsets;
    }
    OnsetDetector detector;
    for (std::size_t i = 0; i < frames.size() / 2; ++i) {
        if (detector.feed(frames[2 * i])) {
            onsets.push_back(static_cast<double>(i) / playbackRate);
        }
    }
    return onsets;
}

// What the server says about its own buffering while the clock plays.
struct ServerFigures {
    double sinkLatency = NAN;           // rendered but not yet played by the sink, ms
    double sinkConfiguredLatency = NAN; // what the sink settled on for its clients, ms
    double playerBuffer = NAN;          // the clock's stream: queued in the server, ms
    double playerSinkLatency = NAN;     // the sink latency as reported with that stream, ms
    int players = 0;
};

// What the recorder heard, all in seconds of the monotonic clock.
struct Recording {
    std::vector<double> heard;     // when the sink played each click
    std::vector<double> heardWall; // the same on the system clock
    // How long after its playing each click was read. Nothing can be read before the sink
    // renders it, a sink latency ahead of playing, so this never goes below minus that latency
    // when the correction is right; it checks the correction without trusting the server.
    std::vector<double> readLag;
    std::vector<double> latencies; // the correction applied to each read
};

// Records the monitor on the server's own thread and timestamps every click it hears.
class MonitorRecorder {
  public:
    bool start(const char* source, double fragmentMs, std::string& failure) {
        loop_ = pa_threaded_mainloop_new();
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "sync_bench");
        pa_context_set_state_callback(context_, signalLoop, loop_);
        pa_threaded_mainloop_lock(loop_);
        const bool ready =
            pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 &&
            pa_threaded_mainloop_start(loop_) >= 0 && awaitContext() &&
            connectStream(source, fragmentMs);
        if (!ready) {
            failure = pa_strerror(pa_context_errno(context_));
        }
        pa_threaded_mainloop_unlock(loop_);
        return ready;
    }

    // False once the server has gone (or was never reached).
    bool alive() {
        if (loop_ == nullptr) {
            return false;
        }
        pa_threaded_mainloop_lock(loop_);
        const bool good = PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) &&
                          stream_ != nullptr && PA_STREAM_IS_GOOD(pa_stream_get_state(stream_));
        pa_threaded_mainloop_unlock(loop_);
        return good;
    }

    // The clock's stream is whichever client other than us feeds the monitored sink.
    ServerFigures serverFigures() {
        ServerFigures figures;
        pa_threaded_mainloop_lock(loop_);
        const std::uint32_t source = pa_stream_get_device_index(stream_);
        monitoredSink_ = PA_INVALID_INDEX;
        await(pa_context_get_source_info_by_index(context_, source, sourceInfo, this));
        if (monitoredSink_ != PA_INVALID_INDEX) {
            figures_ = &figures;
            await(pa_context_get_sink_info_by_index(context_, monitoredSink_, sinkInfo, this));
            await(pa_context_get_sink_input_info_list(context_, sinkInputInfo, this));
            figures_ = nullptr;
        }
        pa_threaded_mainloop_unlock(loop_);
        return figures;
    }

    // Wall times at which the sink played each click, and the latencies applied, both in s.
    Recording stop() {
        if (loop_ == nullptr) {
            return recording_;
        }
        pa_threaded_mainloop_lock(loop_);
        if (stream_ != nullptr) {
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
            stream_ = nullptr;
        }
        pa_context_disconnect(context_);
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_context_unref(context_);
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
        return recording_;
    }

    std::string recordBuffer() const { return recordBuffer_; }

  private:
    static void signalLoop(pa_context*, void* loop) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
    }

    bool awaitContext() {
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(context_);
            if (state == PA_CONTEXT_READY) {
                return true;
            }
            if (!PA_CONTEXT_IS_GOOD(state)) {
                return false;
            }
            pa_threaded_mainloop_wait(loop_);
        }
    }

    bool connectStream(const char* source, double fragmentMs) {
        const pa_sample_spec format{PA_SAMPLE_S16LE, playbackRate, 2};
        stream_ = pa_stream_new(context_, "click monitor", &format, nullptr);
        if (stream_ == nullptr) {
            return false;
        }
        pa_stream_set_state_callback(
            stream_, [](pa_stream*, void* loop) { signalLoop(nullptr, loop); }, loop_);
        pa_stream_set_read_callback(stream_, readable, this);
        // The fragment is also the latency this stream asks of the monitor, and the sink honours
        // the smallest latency any client asks for: a fragment shorter than the player's own
        // request would change the very latency being measured.
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.fragsize = static_cast<std::uint32_t>(
            pa_usec_to_bytes(static_cast<pa_usec_t>(fragmentMs * 1000.0), &format));
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY |
            PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_record(stream_, source, &attributes, flags) < 0) {
            return false;
        }
        for (;;) {
            const pa_stream_state_t state = pa_stream_get_state(stream_);
            if (state == PA_STREAM_READY) {
                break;
            }
            if (!PA_STREAM_IS_GOOD(state)) {
                return false;
            }
            pa_threaded_mainloop_wait(loop_);
        }
        if (const pa_buffer_attr* got = pa_stream_get_buffer_attr(stream_)) {
            recordBuffer_ = "fragsize " + std::to_string(got->fragsize / 4) + " frames from " +
                            pa_stream_get_device_name(stream_);
        }
        return true;
    }

    void await(pa_operation* operation) {
        if (operation == nullptr) {
            return;
        }
        while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
            pa_threaded_mainloop_wait(loop_);
        }
        pa_operation_unref(operation);
    }

    static void sourceInfo(pa_context*, const pa_source_info* info, int, void* self) {
        auto& recorder = *static_cast<MonitorRecorder*>(self);
        if (info != nullptr) {
            recorder.monitoredSink_ = info->monitor_of_sink;
        }
        pa_threaded_mainloop_signal(recorder.loop_, 0);
    }

    static void sinkInfo(pa_context*, const pa_sink_info* info, int, void* self) {
        auto& recorder = *static_cast<MonitorRecorder*>(self);
        if (info != nullptr) {
            recorder.figures_->sinkLatency = static_cast<double>(info->latency) * 1e-3;
            recorder.figures_->sinkConfiguredLatency =
                static_cast<double>(info->configured_latency) * 1e-3;
        }
        pa_threaded_mainloop_signal(recorder.loop_, 0);
    }

    static void sinkInputInfo(pa_context*, const pa_sink_input_info* info, int, void* self) {
        auto& recorder = *static_cast<MonitorRecorder*>(self);
        if (info != nullptr && info->sink == recorder.monitoredSink_) {
            ++recorder.figures_->players;
            recorder.figures_->playerBuffer = static_cast<double>(info->buffer_usec) * 1e-3;
            recorder.figures_->playerSinkLatency = static_cast<double>(info->sink_usec) * 1e-3;
        }
        pa_threaded_mainloop_signal(recorder.loop_, 0);
    }

    static void readable(pa_stream* stream, std::size_t, void* self) {
        auto& recorder = *static_cast<MonitorRecorder*>(self);
        for (;;) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
                return;
            }
            const double now = wallSeconds();
            // The server's own timing updates thin out to one a second, too slow to follow the
            // sink when the player joins it and changes its latency.
            if (now - recorder.lastTimingRequest_ > 0.01) {
                if (pa_operation* operation =
                        pa_stream_update_timing_info(stream, nullptr, nullptr)) {
                    pa_operation_unref(operation);
                }
                recorder.lastTimingRequest_ = now;
            }
            // Until the first timing reply there is nothing to correct by; the first click
            // comes a second in, long after it.
            pa_usec_t usec = 0;
            int negative = 0;
            const bool timed = pa_stream_get_latency(stream, &usec, &negative) == 0;
            // The latency runs from the capture of the oldest unread frame, the first of this
            // chunk, to now.
            const double latency = (negative ? -1.0 : 1.0) * static_cast<double>(usec) * 1e-6;
            if (timed) {
                recorder.recording_.latencies.push_back(latency);
            }
            const std::size_t frames = bytes / 4;
            for (std::size_t i = 0; data != nullptr && i < frames; ++i) {
                std::int16_t left = 0;
                std::memcpy(&left, static_cast<const char*>(data) + i * 4, sizeof left);
                if (recorder.detector_.feed(left) && timed) {
                    const double heard = now - latency + static_cast<double>(i) / playbackRate;
                    recorder.recording_.heard.push_back(heard);
                    recorder.recording_.heardWall.push_back(heard + systemSeconds() - now);
                    recorder.recording_.readLag.push_back(now - heard);
                }
            }
            if (data == nullptr) {
                recorder.detector_.quietFrames += frames; // a hole: the server dropped data
            }
            pa_stream_drop(stream);
        }
    }

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    OnsetDetector detector_;
    Recording recording_;
    double lastTimingRequest_ = 0.0;
    std::string recordBuffer_;
    std::uint32_t monitoredSink_ = PA_INVALID_INDEX;
    ServerFigures* figures_ = nullptr;
};

#ifdef QM_HAVE_PIPEWIRE
// Records a sink through PipeWire itself: pipewire-pulse reports every latency as 0, and a
// correction by the stream's reported latency was wrong there by up to 100 ms in a stream's first
// seconds. Each buffer is stamped instead with the graph cycle that produced it
// (pw_stream_get_time_n), when the null sink played it, at the sink's own rate so nothing is
// resampled on the way.
class GraphRecorder {
  public:
    static constexpr int rate = 48000;

    bool start(const char* source, double, std::string& failure) {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("sync_bench", nullptr);
        std::string sink = source;
        if (sink.size() > 8 && sink.compare(sink.size() - 8, 8, ".monitor") == 0) {
            sink.resize(sink.size() - 8);
        }
        pw_properties* properties =
            pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                              PW_KEY_STREAM_CAPTURE_SINK, "true", PW_KEY_TARGET_OBJECT,
                              sink.c_str(), PW_KEY_NODE_LATENCY, "256/48000", nullptr);
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.process = process;
            return e;
        }();
        pw_thread_loop_lock(loop_);
        stream_ = pw_stream_new_simple(pw_thread_loop_get_loop(loop_), "click monitor", properties,
                                       &events, this);
        std::uint8_t buffer[256];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_audio_info_raw format{};
        format.format = SPA_AUDIO_FORMAT_S16_LE;
        format.rate = rate;
        format.channels = 2;
        const spa_pod* params[] = {
            spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
        const auto flags = static_cast<pw_stream_flags>(
            PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
        const bool ready =
            stream_ != nullptr &&
            pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) == 0 &&
            pw_thread_loop_start(loop_) == 0;
        pw_thread_loop_unlock(loop_);
        if (!ready) {
            failure = "PipeWire would not take a capture stream";
        }
        return ready;
    }

    bool alive() {
        if (loop_ == nullptr) {
            return false;
        }
        pw_thread_loop_lock(loop_);
        const char* error = nullptr;
        // A server gone leaves the stream unconnected, or in error.
        const pw_stream_state state = pw_stream_get_state(stream_, &error);
        const bool good = state != PW_STREAM_STATE_ERROR && state != PW_STREAM_STATE_UNCONNECTED;
        pw_thread_loop_unlock(loop_);
        return good;
    }

    ServerFigures serverFigures() { return {}; }

    Recording stop() {
        if (loop_ != nullptr) {
            pw_thread_loop_stop(loop_);
            if (stream_ != nullptr) {
                pw_stream_destroy(stream_);
            }
            pw_thread_loop_destroy(loop_);
            loop_ = nullptr;
            stream_ = nullptr;
        }
        return recording_;
    }

    std::string recordBuffer() const { return "graph-stamped buffers at 48000 Hz"; }

  private:
    static void process(void* self) {
        auto& recorder = *static_cast<GraphRecorder*>(self);
        pw_buffer* buffer = pw_stream_dequeue_buffer(recorder.stream_);
        if (buffer == nullptr) {
            return;
        }
        pw_time time{};
        pw_stream_get_time_n(recorder.stream_, &time, sizeof time);
        const spa_data& data = buffer->buffer->datas[0];
        const double cycle = static_cast<double>(time.now) * 1e-9;
        const double now = wallSeconds();
        const auto* samples = static_cast<const std::int16_t*>(data.data);
        const std::size_t frames = data.data != nullptr ? data.chunk->size / 4 : 0;
        for (std::size_t i = 0; i < frames; ++i) {
            if (recorder.detector_.feed(samples[2 * i])) {
                const double heard = cycle + static_cast<double>(i) / rate;
                recorder.recording_.heard.push_back(heard);
                recorder.recording_.heardWall.push_back(heard + systemSeconds() - now);
                recorder.recording_.readLag.push_back(now - heard);
            }
        }
        pw_stream_queue_buffer(recorder.stream_, buffer);
    }

    pw_thread_loop* loop_ = nullptr;
    pw_stream* stream_ = nullptr;
    OnsetDetector detector_;
    Recording recording_;
};
#endif

struct Options {
    int runs = 3;
    int clicks = 15;
    double pollHertz = 1000.0;
    double fragmentMs = 50.0;
    const char* source = "@DEFAULT_MONITOR@";
    const char* writeTrack = nullptr; // write the track and its click times, then stop
    double listenSeconds = 0.0;       // only record, for at most this long
    bool reconnect = false;           // start the recorder again when its server goes
    double restartAt = 0.0;           // seconds into each run to run restartCommand
    const char* restartCommand = nullptr;
    bool graph = false; // record through PipeWire itself (--recorder graph)
};

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--runs") {
            options.runs = std::atoi(value);
        } else if (name == "--clicks") {
            options.clicks = std::atoi(value);
        } else if (name == "--poll") {
            options.pollHertz = std::atof(value);
        } else if (name == "--fragment") {
            options.fragmentMs = std::atof(value);
        } else if (name == "--source") {
            options.source = value;
        } else if (name == "--write-track") {
            options.writeTrack = value;
        } else if (name == "--reconnect") {
            options.reconnect = std::atoi(value) != 0;
        } else if (name == "--restart-at") {
            options.restartAt = std::atof(value);
        } else if (name == "--restart-command") {
            options.restartCommand = value;
        } else if (name == "--recorder") {
            options.graph = std::string(value) == "graph";
        } else if (name == "--listen") {
            options.listenSeconds = std::atof(value);
            if (!(options.listenSeconds > 0)) {
                return false;
            }
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && options.runs > 0 && options.clicks > 0 && options.pollHertz > 0 &&
           options.fragmentMs > 0;
}

struct RunResult {
    std::vector<double> offsets;        // ms
    std::vector<double> afterReconnect; // ms, the clicks shown once the server was back
    bool ok = false;
};

template <class Recorder>
RunResult measureRun(const Options& options, const std::vector<double>& clickTimes) {
    RunResult result;
    Recorder recorder;
    std::string failure;
    if (!recorder.start(options.source, options.fragmentMs, failure)) {
        std::fprintf(stderr, "sync_bench: cannot record \"%s\": %s\n", options.source,
                     failure.c_str());
        recorder.stop();
        return result;
    }
    if (!openDevice()) {
        std::fprintf(stderr, "sync_bench: cannot open the audio device: %s\n",
                     musicFailure().c_str());
        recorder.stop();
        return result;
    }
    const char* driver = SDL_GetCurrentAudioDriver();
    if (driver == nullptr || (std::strcmp(driver, "pulseaudio") != 0 &&
                              !(options.graph && std::strcmp(driver, "pipewire") == 0))) {
        std::fprintf(stderr,
                     "sync_bench: SDL plays through \"%s\", which the recorder cannot "
                     "hear; set SDL_AUDIODRIVER=pulseaudio (or pipewire with --recorder graph)\n",
                     driver ? driver : "nothing");
        freeDevice();
        recorder.stop();
        return result;
    }
    if (!openStream(defaultTrackPath)) {
        std::fprintf(stderr, "sync_bench: cannot open the click track: %s\n",
                     musicFailure().c_str());
        freeDevice();
        recorder.stop();
        return result;
    }

    std::vector<double> shown;
    ServerFigures figures;
    bool figuresTaken = false;
    const auto period = std::chrono::duration<double>(1.0 / options.pollHertz);
    const auto start = std::chrono::steady_clock::now();
    auto tick = start;
    std::thread restart;
    if (options.restartCommand != nullptr) {
        restart = std::thread([&options] {
            std::this_thread::sleep_for(std::chrono::duration<double>(options.restartAt));
            if (std::system(options.restartCommand) != 0) {
                std::fprintf(stderr, "sync_bench: %s failed\n", options.restartCommand);
            }
        });
    }
    startPlayback();
    ClockReading reading;
    double lostAt = NAN, nextLook = 0.0; // when the recorder's server went
    while (shown.size() < clickTimes.size() && !reading.ended &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(options.clicks + 10)) {
        const double now = wallSeconds();
        if (options.reconnect && now >= nextLook && !recorder.alive()) {
            lostAt = std::isnan(lostAt) ? now : lostAt;
            recorder.stop();
            if (!recorder.start(options.source, options.fragmentMs, failure)) {
                recorder.stop();
            }
        }
        nextLook = options.reconnect && now >= nextLook ? now + 0.05 : nextLook;
        reading = readMusicClock();
        const double position = reading.seconds;
        while (shown.size() < clickTimes.size() && position >= clickTimes[shown.size()]) {
            shown.push_back(now);
        }
        // Halfway between two clicks, so the query cannot delay a reading that matters.
        if (!figuresTaken && !shown.empty() && position >= clickTimes[0] + 0.5) {
            figures = recorder.serverFigures();
            figuresTaken = true;
        }
        tick += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
        std::this_thread::sleep_until(tick);
    }
    // Let the last click through the sink and into the recorder.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    if (restart.joinable()) {
        restart.join();
    }
    freeStream();
    freeDevice();
    const Recording recording = recorder.stop();

    // Each shown click pairs with the heard click nearest to it; clicks are a second apart.
    for (const double shownAt : shown) {
        double best = NAN;
        for (const double heardAt : recording.heard) {
            if (std::fabs(heardAt - shownAt) < 0.5 &&
                !(std::fabs(heardAt - shownAt) >= std::fabs(best))) {
                best = heardAt - shownAt;
            }
        }
        if (!std::isnan(best)) {
            result.offsets.push_back(best * 1000.0);
            if (shownAt > lostAt) {
                result.afterReconnect.push_back(best * 1000.0);
            }
        }
    }
    std::vector<double> latencies = recording.latencies;
    std::sort(latencies.begin(), latencies.end());
    std::vector<double> readLag = recording.readLag;
    std::sort(readLag.begin(), readLag.end());
    std::printf("  %zu clicks shown, %zu heard, %zu paired; recorder %s\n", shown.size(),
                recording.heard.size(), result.offsets.size(), recorder.recordBuffer().c_str());
    if (!latencies.empty()) {
        std::printf("  recorder latency applied: median %.2f ms (%.2f .. %.2f) over %zu reads\n",
                    median(latencies) * 1e3, latencies.front() * 1e3, latencies.back() * 1e3,
                    latencies.size());
    }
    if (!readLag.empty()) {
        std::printf("  clicks read after the sink played them: median %.2f ms (%.2f .. %.2f)\n",
                    median(readLag) * 1e3, readLag.front() * 1e3, readLag.back() * 1e3);
    }
    std::printf("  server: sink latency %.2f ms (configured %.2f ms); %d player stream(s), "
                "the clock's queued %.2f ms + sink %.2f ms\n",
                figures.sinkLatency, figures.sinkConfiguredLatency, figures.players,
                figures.playerBuffer, figures.playerSinkLatency);
    result.ok = !result.offsets.empty();
    return result;
}

void printOffsets(const char* label, std::vector<double> offsets, bool verbose) {
    if (verbose) {
        std::printf("  each:");
        for (const double offset : offsets) {
            std::printf(" %+.1f", offset);
        }
        std::printf("\n");
    }
    std::sort(offsets.begin(), offsets.end());
    std::printf("%s: offset median %+.2f ms, min %+.2f ms, max %+.2f ms over %zu clicks\n", label,
                median(offsets), offsets.front(), offsets.back(), offsets.size());
}

// Records until stdin closes or the time is up, for a player in another process; the caller
// starts that player once "listening" is printed, so no click can come before the recorder.
template <class Recorder> int listen(const Options& options) {
    Recorder recorder;
    std::string failure;
    if (!recorder.start(options.source, options.fragmentMs, failure)) {
        std::fprintf(stderr, "sync_bench: cannot record \"%s\": %s\n", options.source,
                     failure.c_str());
        recorder.stop();
        return 1;
    }
    std::printf("listening: recorder %s\n", recorder.recordBuffer().c_str());
    const double deadline = wallSeconds() + options.listenSeconds;
    for (double left = options.listenSeconds; left > 0; left = deadline - wallSeconds()) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&input, 1, static_cast<int>(std::min(left, 1.0) * 1000.0) + 1);
        char byte = 0;
        if (ready > 0 && read(STDIN_FILENO, &byte, 1) <= 0) {
            break;
        }
    }
    const Recording recording = recorder.stop();
    for (const double heard : recording.heardWall) {
        std::printf("heard %.6f\n", heard);
    }
    if (!recording.latencies.empty()) {
        std::printf("recorder latency applied: median %.2f ms over %zu reads\n",
                    median(recording.latencies) * 1e3, recording.latencies.size());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // Lines in order with whatever else writes to the terminal while a run goes on.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: sync_bench [--runs N] [--clicks N] [--poll HZ] "
                             "[--fragment MS] [--source NAME]\n"
                             "       sync_bench [--clicks N] --write-track FILE\n"
                             "       sync_bench [--fragment MS] [--source NAME] --listen SEC\n");
        return 2;
    }
    if (options.listenSeconds > 0) {
#ifdef QM_HAVE_PIPEWIRE
        return options.graph ? listen<GraphRecorder>(options) : listen<MonitorRecorder>(options);
#else
        return listen<MonitorRecorder>(options);
#endif
    }
    const char* trackPath = options.writeTrack ? options.writeTrack : defaultTrackPath;
    std::string failure;
    if (!writeClickTrack(trackPath, options.clicks, failure)) {
        std::fprintf(stderr, "sync_bench: cannot write %s: %s\n", trackPath, failure.c_str());
        return 1;
    }
    const std::vector<double> clickTimes = decodedOnsets(trackPath, failure);
    if (clickTimes.size() != static_cast<std::size_t>(options.clicks)) {
        std::fprintf(stderr, "sync_bench: found %zu of %d clicks in the decoded track %s\n",
                     clickTimes.size(), options.clicks, failure.c_str());
        return 1;
    }
    if (options.writeTrack != nullptr) {
        for (const double click : clickTimes) {
            std::printf("click %.6f\n", click);
        }
        return 0;
    }
    std::printf("click track: %d clicks, first at %.5f s of the stream; polling at %.0f Hz\n",
                options.clicks, clickTimes[0], options.pollHertz);

    std::vector<double> all, afterReconnect;
    for (int run = 1; run <= options.runs; ++run) {
        std::printf("run %d\n", run);
#ifdef QM_HAVE_PIPEWIRE
        const RunResult result = options.graph ? measureRun<GraphRecorder>(options, clickTimes)
                                               : measureRun<MonitorRecorder>(options, clickTimes);
#else
        const RunResult result = measureRun<MonitorRecorder>(options, clickTimes);
#endif
        if (!result.ok) {
            return 1;
        }
        printOffsets("  run", result.offsets, true);
        all.insert(all.end(), result.offsets.begin(), result.offsets.end());
        if (options.reconnect && !result.afterReconnect.empty()) {
            printOffsets("  after the server came back", result.afterReconnect, true);
            afterReconnect.insert(afterReconnect.end(), result.afterReconnect.begin(),
                                  result.afterReconnect.end());
        }
    }
    printOffsets("all runs (positive: the picture is early)", all, false);
    if (!afterReconnect.empty()) {
        printOffsets("all runs, after the server came back", afterReconnect, false);
    }
    return 0;
}
