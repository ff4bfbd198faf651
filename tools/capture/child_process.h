// The capture tool's child processes: a program found on PATH, started in a process group of its
// own so the terminal's Ctrl-C reaches only this tool, ffmpeg fed raw frames through a pipe, and
// how a child ended, said as a failure line says it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace qm {

// The full path of `program` on PATH; empty when there is none.
std::string findProgram(const std::string& program);

// "exit status 3", "killed by SIGKILL"
std::string describeExit(int waitStatus);

// Writes all `bytes`, restarting after a signal; 0, or the system's error number (ENOSPC for a
// write that took nothing).
int writeAll(int fd, const unsigned char* data, std::size_t bytes);

// Waits at most `seconds` for the child `pid` to end, then kills it; its wait status.
int endChild(pid_t pid, double seconds);

// `args` as execv and posix_spawn take them, ending in a null pointer; the strings stay in `args`.
std::vector<char*> argumentPointers(const std::vector<std::string>& args);

// ffmpeg reading raw frames on its standard input. Its own process group keeps Ctrl-C from
// cutting it short: the tool closes the pipe instead, and ffmpeg finishes a playable file.
struct VideoPipe {
    pid_t pid = -1;
    int input = -1;
};
bool startVideoPipe(VideoPipe& video, const std::string& ffmpegPath,
                    const std::vector<std::string>& args, std::string& failure);
// False when ffmpeg stopped reading, with "ffmpeg stopped: <how it ended>".
bool writeVideoFrame(VideoPipe& video, const unsigned char* data, std::size_t bytes,
                     std::string& failure);
// Closes the pipe and waits for ffmpeg to finish the file. False when it failed.
bool finishVideoPipe(VideoPipe& video, std::string& failure);

} // namespace qm
