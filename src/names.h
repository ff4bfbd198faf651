// The presentation's own names, spelled once: the program name that starts every failure line,
// and the window's title, which its message boxes carry too.
#pragma once

namespace qm {

constexpr char programName[] = "quartz-meridian";
constexpr char windowTitle[] = "QUARTZ MERIDIAN";

} // namespace qm
