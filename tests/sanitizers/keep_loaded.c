/* Preloaded into the AddressSanitizer test runs (see the asan test preset): dlclose does
 * nothing. GLFW and SDL unload Mesa's driver and the audio and D-Bus libraries at shutdown, so
 * by the time LeakSanitizer looks at the heap, what those libraries kept shows as "<unknown
 * module>" and no suppression by library name can match it. Kept loaded, it is named, and
 * lsan.supp can ignore exactly those libraries and nothing of ours. */
int dlclose(void* handle) {
    (void)handle;
    return 0;
}
