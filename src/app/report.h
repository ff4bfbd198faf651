// The one way a failure reaches the user: one line, "<program>: <what failed>".
#pragma once

#include <string>

namespace qm {

// Writes the line to stderr; on Windows, a GUI process started without a usable standard
// error (from Explorer, say) shows it in a message box instead.
void reportFailure(const char* program, const std::string& message);

} // namespace qm
