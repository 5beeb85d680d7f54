// A reader of SER files written from the format's public layout, independent of the writer:
// the header fields, the frames and the trailer of time stamps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace hxtest {

inline std::vector<unsigned char> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline int32_t le32(const std::vector<unsigned char>& b, size_t at) {
    return static_cast<int32_t>(b.at(at) | (b.at(at + 1) << 8) | (b.at(at + 2) << 16) |
                                (static_cast<uint32_t>(b.at(at + 3)) << 24));
}

inline int64_t le64(const std::vector<unsigned char>& b, size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | b.at(at + i);
    return static_cast<int64_t>(v);
}

/// A SER file as the public layout describes it.
struct SerFile {
    bool ok = false;
    std::string fileId, observer, instrument, telescope;
    int32_t luId = -1, colour = -1, littleEndian = -1, width = 0, height = 0, depth = 0, frames = 0;
    int64_t dateTime = 0, dateTimeUtc = 0;
    size_t frameBytes = 0;
    std::vector<std::vector<unsigned char>> images;
    std::vector<int64_t> stamps; ///< empty when the file has no trailer
};

inline std::string serText(const std::vector<unsigned char>& b, size_t at, size_t size) {
    std::string s(reinterpret_cast<const char*>(b.data() + at), size);
    return s.substr(0, s.find('\0'));
}

inline SerFile readSer(const std::string& path) {
    SerFile f;
    const std::vector<unsigned char> b = readBytes(path);
    if (b.size() < 178) return f;
    f.fileId = serText(b, 0, 14);
    f.luId = le32(b, 14);
    f.colour = le32(b, 18);
    f.littleEndian = le32(b, 22);
    f.width = le32(b, 26);
    f.height = le32(b, 30);
    f.depth = le32(b, 34);
    f.frames = le32(b, 38);
    f.observer = serText(b, 42, 40);
    f.instrument = serText(b, 82, 40);
    f.telescope = serText(b, 122, 40);
    f.dateTime = le64(b, 162);
    f.dateTimeUtc = le64(b, 170);
    const size_t planes = f.colour >= 100 ? 3 : 1;
    f.frameBytes = static_cast<size_t>(f.width) * f.height * planes * (f.depth > 8 ? 2 : 1);
    if (b.size() < 178 + f.frameBytes * f.frames) return f;
    for (int32_t i = 0; i < f.frames; ++i) {
        const auto from = b.begin() + static_cast<std::ptrdiff_t>(178 + f.frameBytes * i);
        f.images.emplace_back(from, from + static_cast<std::ptrdiff_t>(f.frameBytes));
    }
    const size_t trailer = 178 + f.frameBytes * f.frames;
    if (b.size() >= trailer + 8u * f.frames)
        for (int32_t i = 0; i < f.frames; ++i) f.stamps.push_back(le64(b, trailer + 8u * i));
    f.ok = true;
    return f;
}

} // namespace hxtest
