// File names that never replace an existing file: the front ends pick the name they would use
// and, when a file of that name is there already, the first free one of name-2, name-3, ...
// (before the extension). Header only, so that every front end can use it.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace hx::files {

/// Extensions that SaveFile writes for a set of snapshot format bits (1 RAW, 2 TIFF, 4 PNG,
/// 8 JPEG, 16 BMP, 32 FITS), in the order it writes them.
inline std::vector<std::string> snapshotExtensions(int formats) {
    std::vector<std::string> out;
    if (formats & 1) out.push_back(".raw");
    if (formats & 8) out.push_back(".jpg");
    if (formats & 16) out.push_back(".bmp");
    if (formats & 4) out.push_back(".png");
    if (formats & 2) out.push_back(".tif");
    if (formats & 32) out.push_back(".fits");
    return out;
}

namespace detail {
/// True when something is there under the name. A dangling symbolic link counts too: writing
/// through it would create its target. A name that cannot be looked at (no permission, a
/// component that is not a directory) counts as free: the write itself then fails and says so.
inline bool taken(const std::string& path) {
    std::error_code ec;
    const auto type = std::filesystem::symlink_status(path, ec).type();
    return type != std::filesystem::file_type::not_found &&
           type != std::filesystem::file_type::none;
}
} // namespace detail

/// The stem (a path without extension) of a file set that replaces nothing: `stem` itself when
/// no stem + extension exists, else the first of stem-2, stem-3, ... for which none exists. A
/// set of extensions is kept together, so Halvex1.jpg and Halvex1.png stay one snapshot.
inline std::string freeStem(const std::string& stem, const std::vector<std::string>& extensions) {
    auto free = [&](const std::string& candidate) {
        for (const std::string& ext : extensions)
            if (detail::taken(candidate + ext)) return false;
        return true;
    };
    if (free(stem)) return stem;
    std::string candidate;
    for (unsigned long k = 2; k < 1000000; ++k) {
        candidate = stem + "-" + std::to_string(k);
        if (free(candidate)) break;
    }
    return candidate;
}

/// The snapshot stem for SaveFile with these format bits that replaces no file.
inline std::string freeSnapshotStem(const std::string& stem, int formats) {
    return freeStem(stem, snapshotExtensions(formats));
}

/// A path that replaces nothing: `path` when it is free, else the same name with -2, -3, ...
/// before its extension (the last dot of the file name; a leading dot starts no extension).
inline std::string freeFileName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot <= nameStart) dot = path.size();
    return freeStem(path.substr(0, dot), {path.substr(dot)}) + path.substr(dot);
}

} // namespace hx::files
