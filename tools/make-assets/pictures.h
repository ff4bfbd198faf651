// The presentation's two pictures, drawn from formulas: 640×480, 8-bit RGBA, rows top to bottom.
#pragma once

#include <vector>

namespace qm {

constexpr unsigned pictureWidth = 640;
constexpr unsigned pictureHeight = 480;

// "zupfist2.png": a faceted quartz globe with glowing meridians over a dark interference field.
// It is shown as the brighter of itself and a red point cloud, so its background stays dark
// enough for the points to win there.
std::vector<unsigned char> drawGlobePicture();

// "tovrel.png": a hexagonal star of sharp bands. Only its red channel reaches the screen (as
// both saturation and value), so the bands alternate between near-full and near-zero red.
std::vector<unsigned char> drawStarPicture();

} // namespace qm
