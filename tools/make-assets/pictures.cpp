// Procedural drawing of the two pictures. Each is a colour function of a position, sampled on a
// grid inside every pixel so edges come out smooth without blurring the sharp shapes.
#include "pictures.h"

#include "synth.h" // pi

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

namespace qm {

namespace {

struct Colour {
    double r, g, b;
};

Colour operator+(Colour a, Colour b) {
    return {a.r + b.r, a.g + b.g, a.b + b.b};
}
Colour operator*(Colour c, double k) {
    return {c.r * k, c.g * k, c.b * k};
}
Colour mix(Colour a, Colour b, double t) {
    return a * (1.0 - t) + b * t;
}

struct Vec3 {
    double x, y, z;
};

double dot(Vec3 a, Vec3 b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec3 normalise(Vec3 v) {
    const double length = std::sqrt(dot(v, v));
    return {v.x / length, v.y / length, v.z / length};
}

// Integer hash to [0, 1): the pictures' only source of variety, identical on every run.
double hash01(std::uint32_t n) {
    n = (n ^ 61u) ^ (n >> 16);
    n *= 9u;
    n ^= n >> 4;
    n *= 0x27D4EB2Du;
    n ^= n >> 15;
    return static_cast<double>(n) / 4294967296.0;
}

template <typename Shade> std::vector<unsigned char> render(Shade shade, int samplesPerSide) {
    std::vector<unsigned char> rgba(pictureWidth * pictureHeight * 4);
    const double weight = 1.0 / (samplesPerSide * samplesPerSide);
    auto toByte = [](double value) {
        return static_cast<unsigned char>(std::lround(std::clamp(value, 0.0, 1.0) * 255.0));
    };
    for (unsigned y = 0; y < pictureHeight; ++y) {
        for (unsigned x = 0; x < pictureWidth; ++x) {
            Colour sum{0.0, 0.0, 0.0};
            for (int sy = 0; sy < samplesPerSide; ++sy) {
                for (int sx = 0; sx < samplesPerSide; ++sx) {
                    sum = sum + shade(x + (sx + 0.5) / samplesPerSide,
                                      y + (sy + 0.5) / samplesPerSide, x, y);
                }
            }
            unsigned char* pixel = &rgba[(y * pictureWidth + x) * 4];
            pixel[0] = toByte(sum.r * weight);
            pixel[1] = toByte(sum.g * weight);
            pixel[2] = toByte(sum.b * weight);
            pixel[3] = 255;
        }
    }
    return rgba;
}

// --- The globe ---------------------------------------------------------------------------

constexpr double globeRadius = 0.8; // in units of half the picture height
constexpr int facetCount = 120;

struct Facets {
    std::array<Vec3, facetCount> seeds;   // Voronoi sites on the unit sphere
    std::array<Vec3, facetCount> tilts;   // how far each facet's face leans off the sphere
    std::array<Colour, facetCount> tints; // rose, lavender, ice or clear quartz
};

Facets makeFacets() {
    const Colour quartzTints[] = {
        {0.92, 0.58, 0.78}, {0.66, 0.56, 0.98}, {0.58, 0.86, 1.0}, {0.9, 0.92, 1.0}};
    Facets facets{};
    for (int k = 0; k < facetCount; ++k) {
        const auto n = static_cast<std::uint32_t>(k * 8);
        // Uniform on the sphere: uniform height and uniform angle around the axis.
        const double z = 2.0 * hash01(n) - 1.0;
        const double angle = 2.0 * pi * hash01(n + 1);
        const double ring = std::sqrt(1.0 - z * z);
        facets.seeds[k] = {ring * std::cos(angle), ring * std::sin(angle), z};
        facets.tilts[k] = {hash01(n + 2) - 0.5, hash01(n + 3) - 0.5, hash01(n + 4) - 0.5};
        facets.tints[k] = quartzTints[static_cast<int>(hash01(n + 5) * 4.0)];
    }
    return facets;
}

// Distance from `angle` (radians) to the nearest multiple of `spacing`.
double gridDistance(double angle, double spacing) {
    const double cell = angle / spacing;
    return std::abs(cell - std::round(cell)) * spacing;
}

Colour globeBackground(double u, double v, double py) {
    const Colour top{0.10, 0.06, 0.24};
    const Colour bottom{0.02, 0.13, 0.19};
    Colour colour = mix(top, bottom, py / pictureHeight);
    // Two distant ripple sources interfere into slow moiré bands.
    const double d1 = std::hypot(u + 1.7, v + 1.1);
    const double d2 = std::hypot(u - 1.8, v - 0.9);
    const double moire = std::cos(55.0 * d1) * std::cos(55.0 * d2);
    colour = colour + Colour{0.015, 0.05, 0.09} * moire;
    // Halo around the globe's limb.
    const double r = std::hypot(u, v);
    if (r > globeRadius)
        colour = colour + Colour{0.2, 0.45, 0.7} * std::exp(-(r - globeRadius) / 0.05);
    return colour;
}

// The tilted ring around the globe: several thin bands on an ellipse. `front` says whether the
// point lies on the half of the ring that passes in front of the globe.
double ringBands(double u, double v, bool& front) {
    const double tilt = -0.32;
    const double ru = u * std::cos(tilt) - v * std::sin(tilt);
    const double rv = u * std::sin(tilt) + v * std::cos(tilt);
    const double radius = std::hypot(ru / 1.25, rv / 0.26);
    front = rv > 0.0;
    if (radius < 0.88 || radius > 1.12)
        return 0.0;
    const double bands = 0.5 + 0.5 * std::cos(radius * 90.0);
    const double edge = std::min(radius - 0.88, 1.12 - radius) / 0.03;
    return std::min(1.0, edge) * (0.35 + 0.65 * bands * bands);
}

Colour globeSurface(double u, double v, const Facets& facets) {
    // View-space normal of the sphere, y up.
    const Vec3 normal{
        u / globeRadius, -v / globeRadius,
        std::sqrt(std::max(0.0, 1.0 - (u * u + v * v) / (globeRadius * globeRadius)))};
    // Globe coordinates: an axial tilt about the view axis, then a turn about the globe's axis.
    const double tilt = 23.4 * pi / 180.0;
    const double turn = 0.6;
    const Vec3 tilted{normal.x * std::cos(tilt) + normal.y * std::sin(tilt),
                      -normal.x * std::sin(tilt) + normal.y * std::cos(tilt), normal.z};
    const Vec3 globe{tilted.x * std::cos(turn) - tilted.z * std::sin(turn), tilted.y,
                     tilted.x * std::sin(turn) + tilted.z * std::cos(turn)};

    int nearest = 0;
    double best = -2.0;
    double second = -2.0;
    for (int k = 0; k < facetCount; ++k) {
        const double closeness = dot(globe, facets.seeds[k]);
        if (closeness > best) {
            second = best;
            best = closeness;
            nearest = k;
        } else if (closeness > second) {
            second = closeness;
        }
    }
    const Vec3 tiltBy = facets.tilts[nearest];
    const Vec3 face = normalise(
        {normal.x + 0.5 * tiltBy.x, normal.y + 0.5 * tiltBy.y, normal.z + 0.3 * tiltBy.z});
    const Vec3 light = normalise({-0.5, 0.6, 0.75});
    const Vec3 halfway = normalise({light.x, light.y, light.z + 1.0});
    const double diffuse = std::max(0.0, dot(face, light));
    const double specular = std::pow(std::max(0.0, dot(face, halfway)), 60.0);
    Colour colour =
        facets.tints[nearest] * (0.18 + 0.62 * diffuse) + Colour{1.0, 1.0, 1.0} * (0.6 * specular);

    // Facet edges catch the light like the ridges of a cut crystal.
    colour = colour + Colour{0.6, 0.85, 1.0} * (0.7 * std::exp(-(best - second) / 0.004));

    // Meridians every 15 degrees and parallels every 15 degrees, as arcs on the surface.
    const double longitude = std::atan2(globe.x, globe.z);
    const double latitude = std::asin(std::clamp(globe.y, -1.0, 1.0));
    const double spacing = 15.0 * pi / 180.0;
    const double lineWidth = 0.008;
    const double toMeridian = gridDistance(longitude, spacing) * std::cos(latitude);
    const double toParallel = gridDistance(latitude, spacing);
    const double line = std::exp(-std::pow(std::min(toMeridian, toParallel) / lineWidth, 2.0));
    const double prime = std::exp(-std::pow(std::abs(longitude) * std::cos(latitude) / 0.014, 2.0));
    colour = mix(colour, Colour{1.0, 0.84, 0.45}, std::max(0.85 * line, prime));

    // Darker towards the limb, with a cold rim light.
    colour = colour * (0.55 + 0.45 * normal.z) +
             Colour{0.3, 0.6, 1.0} * (0.6 * std::pow(1.0 - normal.z, 3.0));
    return colour;
}

// --- The star ----------------------------------------------------------------------------

// Distance to the centre measured in hexagons (pointy-top), in pixels.
double hexDistance(double x, double y) {
    const double ax = std::abs(x);
    const double ay = std::abs(y);
    return std::max(ax, 0.5 * ax + 0.8660254037844386 * ay);
}

// Whether a point is in a high-red shape: hexagonal bands crossed with twisted sectors, which
// alternate like a chequerboard in polar coordinates, around a solid crystal with a dark core.
bool inRedShape(double x, double y) {
    const double hex = hexDistance(x, y);
    if (hex < 30.0)
        return false;
    if (hex < 78.0)
        return true;
    const double angle = std::atan2(y, x);
    const double twist = 0.0016 * hex;
    const int sector = static_cast<int>(std::floor((angle + twist) * 6.0 / pi));
    const int band = static_cast<int>(std::floor((hex - 78.0) / 52.0));
    return ((sector + band) & 1) == 0;
}

} // namespace

std::vector<unsigned char> drawGlobePicture() {
    const Facets facets = makeFacets();
    auto shade = [&facets](double px, double py, unsigned x, unsigned y) {
        const double u = (px - pictureWidth / 2.0) / (pictureHeight / 2.0);
        const double v = (py - pictureHeight / 2.0) / (pictureHeight / 2.0);
        Colour colour =
            std::hypot(u, v) < globeRadius ? globeSurface(u, v, facets) : globeBackground(u, v, py);
        bool front = false;
        const double ring = ringBands(u, v, front);
        if (ring > 0.0 && (front || std::hypot(u, v) >= globeRadius))
            colour = mix(colour, Colour{0.95, 0.8, 0.55}, 0.8 * ring);
        // Sparse stars, decided per pixel so the sub-samples agree.
        const double star = hash01(y * pictureWidth + x + 7919u);
        if (star > 0.9975 && std::hypot(u, v) > globeRadius + 0.05)
            colour = colour + Colour{0.8, 0.85, 1.0} * ((star - 0.9975) / 0.0025);
        return colour;
    };
    return render(shade, 2);
}

std::vector<unsigned char> drawStarPicture() {
    auto shade = [](double px, double py, unsigned, unsigned) {
        const double x = px - pictureWidth / 2.0;
        const double y = py - pictureHeight / 2.0;
        const double fade = std::min(1.0, std::hypot(x, y) / 400.0);
        // High red stays above 0.85 and low red below 0.15, so the shapes keep their contrast
        // once the red channel becomes saturation and value.
        if (inRedShape(x, y))
            return Colour{1.0 - 0.12 * fade, 0.42 + 0.3 * fade, 0.12};
        return Colour{0.04 + 0.08 * fade, 0.02, 0.22 + 0.16 * (1.0 - fade)};
    };
    return render(shade, 3);
}

} // namespace qm
