// PNG frames: each output frame's file name, and the frame encoded and written on the worker
// thread the frame loop hands it to, with the fastest settings that keep the file's size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm {

// "frame_000123.png"
std::string pngFrameName(std::uint64_t frame);

// Encodes a top-row-first RGB frame as a PNG (fast settings) and writes it; a partly written
// file is removed, so a full disk never leaves a frame that looks whole.
bool writePngFrame(const std::string& path, const unsigned char* rgb, int width, int height,
                   std::vector<unsigned char>& encoded, std::string& failure);

} // namespace qm
