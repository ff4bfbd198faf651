// The music times, in seconds, at which the look changes: written once here for the frame plan,
// the shaders (as GLSL constants spliced into their texts) and the asset generator, whose music
// changes at the same moments. A time spelled twice is a time that can drift.
#pragma once

// Each entry: name, seconds (as a literal both C++ and GLSL read the same way).
// clang-format off
#define QM_TIMELINE(entry)                                                                         \
    entry(grooveStart, 4.4) /* points follow the level; picture and screen treatments begin */     \
    entry(breakStart, 13.0) /* the diagonal smear of the point image, until the drop */            \
    entry(dropStart, 17.4)  /* the second picture, jittered and hue-cycled */
// clang-format on

#define QM_TIMELINE_CONSTANT(name, seconds) constexpr double name = seconds;
namespace qm {
QM_TIMELINE(QM_TIMELINE_CONSTANT)
} // namespace qm
#undef QM_TIMELINE_CONSTANT

// "const float grooveStart = 4.4;" and so on, one line each.
#define QM_TIMELINE_GLSL_LINE(name, seconds) "const float " #name " = " #seconds ";\n"
#define QM_GLSL_TIMELINE QM_TIMELINE(QM_TIMELINE_GLSL_LINE)
