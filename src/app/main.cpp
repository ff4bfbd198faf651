// Process entry. The command line is not read; everything happens in runPresentation.
#include "app/driver.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return qm::runPresentation();
}
#else
int main() {
    return qm::runPresentation();
}
#endif
