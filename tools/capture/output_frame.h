// An output frame made from the picture the GL drew: the 640x480 picture enlarged by a whole
// factor and centred in a frame of the asked size, as RGB for PNG files and the master, or
// converted to the video's Y'CbCr 4:2:0 directly from the picture.
#pragma once

#include <vector>

namespace qm {

// Output frames: the 640x480 picture scaled by the largest whole factor that fits, centred.
struct OutputLayout {
    int width = 640;
    int height = 480;
    int factor = 1;
    int left = 0;
    int top = 0;
};
OutputLayout layoutFor(int width, int height);

// Writes one frame as the GL gives it (640x480 RGBA, bottom row first) into `rgb`, an output
// frame of layout.width x layout.height RGB, top row first. The bars are left as they are, so a
// buffer cleared to black once stays black around the picture.
void placeFrame(const unsigned char* glRgba, const OutputLayout& layout, unsigned char* rgb);

// The same frame as `placeFrame` gives, converted for the video: planar Y, Cb, Cr at 4:2:0 (each
// chroma sample the mean of its 2x2 pixels), the BT.601 matrix in limited range, rounded to
// nearest. The bars are written too (black). Done here, from the 640x480 picture, rather than by
// ffmpeg from the enlarged frame: a quarter of the work at twice the size, and a conversion whose
// matrix and rounding the tests can check.
void placeFrameYuv420(const unsigned char* glRgba, const OutputLayout& layout,
                      std::vector<unsigned char>& yuv);

} // namespace qm
