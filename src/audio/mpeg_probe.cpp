// The MPEG probe: frame headers, ID3v2 tags and chains of frames, over bytes alone.
#include "audio/mpeg_probe.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qm {

namespace {

// The frames a chain must hold, and how far past audioSearchBytes one begun there may reach.
constexpr int chainFrames = 4;
constexpr std::size_t chainSearchSlack = chainFrames * 2900; // the chain of the longest frames

struct FrameHeader {
    unsigned id = 0;      // version, layer and rate index: equal along one stream
    std::size_t size = 0; // bytes, header included; 0 for a free-format frame
};

bool readFrameHeader(const unsigned char* bytes, FrameHeader& header) {
    static constexpr unsigned short kbps[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}, // MPEG-1 I
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},    // MPEG-1 II
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},     // MPEG-1 III
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},    // MPEG-2, 2.5 I
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};        // … II, III
    static constexpr unsigned rates[3] = {44100, 48000, 32000};
    const unsigned version = (bytes[1] >> 3) & 3u; // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    const unsigned layer = 4 - ((bytes[1] >> 1) & 3u);
    const unsigned bitrate = bytes[2] >> 4, rateIndex = (bytes[2] >> 2) & 3u;
    if (bytes[0] != 0xFF || (bytes[1] & 0xE0) != 0xE0 || version == 1 || layer == 4 ||
        bitrate == 15 || rateIndex == 3 || (bytes[3] & 3u) == 2) {
        return false;
    }
    const unsigned rate = rates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    const unsigned row = version == 3 ? layer - 1 : layer == 1 ? 3 : 4;
    const std::size_t bitsPerSecond = kbps[row][bitrate] * 1000u, padding = (bytes[2] >> 1) & 1u;
    const std::size_t slots = layer == 1 ? 12 : layer == 3 && version != 3 ? 72 : 144;
    header.id = (bytes[1] & 0x1Eu) << 2 | rateIndex;
    header.size = (slots * bitsPerSecond / rate + padding) * (layer == 1 ? 4 : 1);
    return true;
}

// The bytes an ID3v2 tag at `bytes` takes, or 0 where none begins there.
std::size_t id3v2Size(const unsigned char* bytes, std::size_t available) {
    if (available < 10 || std::memcmp(bytes, "ID3", 3) != 0 || bytes[3] == 0xFF ||
        ((bytes[6] | bytes[7] | bytes[8] | bytes[9]) & 0x80) != 0) {
        return 0;
    }
    const std::size_t body = std::size_t{bytes[6]} << 21 | std::size_t{bytes[7]} << 14 |
                             std::size_t{bytes[8]} << 7 | bytes[9];
    return 10 + body + ((bytes[5] & 0x10) != 0 ? 10 : 0);
}

// A chain of frames starts at `at`: chainFrames of them, or at least two up to the end of a file
// that `head` holds whole (or up to its closing ID3v1 tag).
bool chainStartsAt(const std::vector<unsigned char>& head, std::size_t at, bool wholeFile) {
    FrameHeader first, next;
    for (int count = 0; count < chainFrames; ++count) {
        const bool atEnd =
            at >= head.size() || (head.size() - at >= 3 && std::memcmp(&head[at], "TAG", 3) == 0);
        if (wholeFile && atEnd && count >= 2) {
            return true;
        }
        if (at + 4 > head.size() || !readFrameHeader(&head[at], next) || next.size == 0 ||
            (count > 0 && next.id != first.id)) {
            return false;
        }
        first = count == 0 ? next : first;
        at += next.size;
    }
    return true;
}

} // namespace

// A frame right at the start, or right after a tag, is taken as it always was, which keeps
// free-format streams, very short files and tag-only files (refused later by the decoder, with
// its own words) as they were; anywhere else it takes a chain of frames.
long findMpegAudio(const ReadBytesAt& readAt, std::vector<unsigned char>& window) {
    long offset = 0;
    for (int tags = 0; tags < 8; ++tags) {
        window.resize(audioSearchBytes + chainSearchSlack);
        if (!readAt(offset, window)) {
            return -1;
        }
        const bool wholeFile = window.size() < audioSearchBytes + chainSearchSlack;
        FrameHeader header;
        if ((tags > 0 && window.empty()) ||
            (window.size() >= 4 && readFrameHeader(window.data(), header))) {
            return offset;
        }
        std::size_t at = 0, tag = 0;
        for (; at < std::min(window.size(), audioSearchBytes) && tag == 0; ++at) {
            if (chainStartsAt(window, at, wholeFile)) {
                return offset + static_cast<long>(at);
            }
            tag = id3v2Size(&window[at], window.size() - at);
        }
        if (tag == 0) {
            return -1;
        }
        offset += static_cast<long>(at - 1 + tag);
    }
    return -1;
}

const char* formatHint(const std::vector<unsigned char>& head) {
    static constexpr std::pair<const char*, const char*> signatures[] = {
        {"RIFF", "a WAV file: "},
        {"OggS", "an Ogg file: "},
        {"fLaC", "a FLAC file: "},
        {"\x89PNG", "a PNG picture: "}};
    for (const auto& [magic, name] : signatures) {
        if (head.size() >= 4 && std::memcmp(head.data(), magic, 4) == 0) {
            return name;
        }
    }
    return "";
}

} // namespace qm
