// The three files the presentation reads and the sound format it plays, in one place for the
// presentation, the capture tool, the asset generator and the tests: a name spelled twice is a
// name that can drift, and a file made under one name and looked for under another only fails
// at run time.
#pragma once

#include <cstddef>
#include <string>

namespace qm {

// Relative to the working directory (the presentation) or the asset folder (the capture tool).
constexpr char musicFileName[] = "VARNOCHORD.mp3";
constexpr char pictureFileA[] = "zupfist2.png"; // shown until 17.4 s
constexpr char pictureFileB[] = "tovrel.png";   // shown after 17.4 s
constexpr const char* assetFileNames[] = {musicFileName, pictureFileA, pictureFileB};

// A file of the asset folder; an empty folder is the working directory. A folder given with
// Windows' separator is joined as it was given.
inline std::string assetPath(const std::string& folder, const char* name) {
    if (folder.empty()) {
        return name;
    }
    const char last = folder.back();
    return folder + (last == '/' || last == '\\' ? "" : "/") + name;
}

// The device and stream rate: every position and every meter window is counted in frames of
// this rate, and the generated music is made at it so it passes the resampler by.
constexpr int playbackRate = 44100;
constexpr int playbackChannels = 2;

// Frames in the level meter's window: 20 ms at the playback rate.
constexpr std::size_t levelWindowFrames = playbackRate / 50;
static_assert(levelWindowFrames * 50 == playbackRate, "the meter's window is a whole 20 ms");

} // namespace qm
