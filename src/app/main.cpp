// Process entry. The command line is not read; everything happens in runPresentation.
#include "app/driver.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// A laptop with two GPUs runs a program on the integrated one unless the program asks for the
// other: both vendors' drivers look for these two exported values in the .exe itself.
extern "C" {
__declspec(dllexport) DWORD NvOptimusEnablement = 1;
__declspec(dllexport) int AmdPowerXpressRequestHighPerformance = 1;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return qm::runPresentation();
}
#else
int main() {
    return qm::runPresentation();
}
#endif
