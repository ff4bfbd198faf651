// The encoders' command lines: ffmpeg making the H.264/AAC video from raw Y'CbCr frames on its
// standard input and the music file, and ffmpeg making the lossless master from raw RGB frames
// and the decoded samples. Pure: options and sizes in, argument lists out.
#pragma once

#include "audio/fixed_clock.h"
#include "options.h"
#include "output_frame.h"

#include <string>
#include <vector>

namespace qm {

// The ffmpeg command line for the video of the frames in `range` at the options' rate and
// size, with the music from the same time as its sound.
std::vector<std::string> ffmpegArguments(const CaptureOptions& options, const OutputLayout& layout,
                                         const std::string& musicPath, FrameRange range);

// The ffmpeg command line for the lossless master: the same frames, and as its sound the
// decoded samples in `pcmPath` (44100 Hz stereo s16le, from the first frame's time on).
std::vector<std::string> masterArguments(const CaptureOptions& options, const OutputLayout& layout,
                                         const std::string& pcmPath);

} // namespace qm
