#include "app/report.h"

#include "names.h"

#include <cstdio>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace qm {

namespace {

#ifdef _WIN32
// A GUI-subsystem process has a standard error handle only when its starter gave it one
// (a console with redirection, a test harness); from Explorer there is none to write to.
bool hasStandardError() {
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
           GetFileType(handle) != FILE_TYPE_UNKNOWN;
}
#endif

} // namespace

void reportFailure(const char* program, const std::string& message) {
    const std::string line = std::string(program) + ": " + message;
#ifdef _WIN32
    if (!hasStandardError()) {
        const int wide = MultiByteToWideChar(CP_UTF8, 0, line.c_str(), -1, nullptr, 0);
        std::wstring text(static_cast<std::size_t>(wide > 0 ? wide : 1), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, line.c_str(), -1, text.data(), wide);
        std::wstring title(windowTitle, windowTitle + sizeof windowTitle - 1); // ASCII
        MessageBoxW(nullptr, text.c_str(), title.c_str(), MB_OK | MB_ICONERROR);
        return;
    }
#endif
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

} // namespace qm
