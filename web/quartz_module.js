// The module's side of the page: the functions src/app/main_web.cpp calls by name, linked in with
// emscripten's --js-library. Each one does a single thing the C++ cannot do from WebAssembly.
mergeInto(LibraryManager.library, {
    // Every frame and at every change of phase: window.quartz and the notice (web/quartz.js).
    quartz_publish: function (phase, position, levelStep, message) {
        quartzPublish(UTF8ToString(phase), position, levelStep, UTF8ToString(message));
    },

    // Capture mode's last frame stays on the canvas; the title says which one it is.
    quartz_captured: function (frame) {
        document.title = "captured " + frame;
    },

    // SDL opens its device at the audio context's rate and, where that is not the music's (most
    // sound cards run at 48000 Hz), converts in chunks of its own, so a callback's samples no
    // longer start where the node's buffer does and the context's clock would be off by up to a
    // buffer. A context made at the music's rate leaves the conversion to the browser, behind the
    // latency it reports. SDL takes a context it finds; an engine that refuses the rate gets the
    // one SDL makes.
    quartz_make_audio_context: function (rate) {
        const SDL2 = (Module.SDL2 = Module.SDL2 || {});
        if (SDL2.audioContext || typeof AudioContext == "undefined") {
            return;
        }
        try {
            SDL2.audioContext = new AudioContext({ sampleRate: rate });
        } catch (refused) {
            console.log("quartz: an audio context at " + rate + " Hz was refused: " + refused);
        }
    },

    // Puts a handler before SDL's on its script node that keeps each buffer's playbackTime: when
    // the buffer SDL's callback fills starts to be heard, on the context's clock.
    quartz_follow_buffer_starts: function () {
        const node = Module.SDL2.audio.scriptProcessorNode;
        const fill = node.onaudioprocess;
        Module.quartzBufferStart = NaN;
        node.onaudioprocess = function (event) {
            Module.quartzBufferStart = event.playbackTime;
            return fill.call(this, event);
        };
    },

    quartz_buffer_start: function () {
        return Module.quartzBufferStart;
    },

    // What the listener hears now: what the context has rendered, less baseLatency +
    // outputLatency. An engine that reports no base latency (Firefox, which adds none of its
    // own) answers outputLatency through a round trip to its audio server that can hang the page
    // for good: Firefox 153 on PulseAudio did so in one start in eight, however late it was first
    // asked. There the output is taken to lag by the 56 ms bench/web-sync measured for it.
    quartz_heard_now: function () {
        const context = Module.SDL2.audioContext;
        const unasked = 0.056;
        const base = context.baseLatency || 0;
        return context.currentTime - (base > 0 ? base + (context.outputLatency || 0) : unasked);
    },
});
