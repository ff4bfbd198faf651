/* Preloaded into the sanitizer test runs (see the asan and tsan test presets): dlclose does
 * nothing. GLFW and SDL unload Mesa's driver and the audio and D-Bus libraries at shutdown, so
 * by the time LeakSanitizer looks at the heap, what those libraries kept shows as "<unknown
 * module>" and no suppression by library name can match it. Kept loaded, it is named, and
 * lsan.supp can ignore exactly those libraries and nothing of ours. ThreadSanitizer, for its
 * part, stops the process when a library its called_from_lib suppressions matched is unloaded. */
int dlclose(void* handle) {
    (void)handle;
    return 0;
}
