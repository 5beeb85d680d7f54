// Independent readers of the FITS files we write: cfitsio's own reader, fitsverify and astropy
// (each external program under a time limit).
#pragma once

#include <fitsio.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace hxtest {

/// Runs a shell command (given a time limit by the caller) and returns what it printed.
inline std::string runCommand(const std::string& command, int* exitCode = nullptr) {
    std::string out;
    if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        const int status = pclose(pipe);
        if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else if (exitCode) {
        *exitCode = -1;
    }
    return out;
}

inline std::string quoted(const std::string& path) {
    std::string q = "'";
    for (char c : path) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

/// fitsverify's verdict: empty when the file passed with no warning and no error, else its
/// report.
inline std::string fitsverifyProblems(const std::string& path) {
    const std::string report = runCommand("timeout 60 fitsverify " + quoted(path));
    if (report.find("found 0 warning(s) and 0 error(s)") != std::string::npos) return {};
    return report.empty() ? std::string("fitsverify printed nothing") : report;
}

/// A FITS primary image as a reader sees it: header cards by name (strings without quotes),
/// axes and the samples with BZERO applied, in file order.
struct FitsImage {
    bool ok = false;
    std::string error;
    std::vector<long> axes;
    std::map<std::string, std::string> keys;
    std::vector<long> samples;
    bool has(const std::string& key) const { return keys.count(key) != 0; }
    std::string key(const std::string& name) const {
        auto it = keys.find(name);
        return it == keys.end() ? std::string("<missing>") : it->second;
    }
};

inline std::string unquote(std::string v) {
    while (!v.empty() && v.back() == ' ') v.pop_back();
    if (v.size() >= 2 && v.front() == '\'' && v.back() == '\'') {
        v = v.substr(1, v.size() - 2);
        while (!v.empty() && v.back() == ' ') v.pop_back();
    }
    return v;
}

/// Reads a file with cfitsio.
inline FitsImage readWithCfitsio(const std::string& path) {
    FitsImage image;
    fitsfile* f = nullptr;
    int status = 0;
    fits_open_diskfile(&f, path.c_str(), READONLY, &status);
    if (status) {
        image.error = "cannot open " + path;
        return image;
    }
    int cards = 0;
    fits_get_hdrspace(f, &cards, nullptr, &status);
    for (int i = 1; i <= cards && !status; ++i) {
        char name[FLEN_KEYWORD], value[FLEN_VALUE], comment[FLEN_COMMENT];
        fits_read_keyn(f, i, name, value, comment, &status);
        if (!status && value[0]) image.keys[name] = unquote(value);
    }
    int bitpix = 0, naxis = 0;
    long axes[3] = {0, 0, 0};
    fits_get_img_param(f, 3, &bitpix, &naxis, axes, &status);
    long total = naxis > 0 ? 1 : 0;
    for (int i = 0; i < naxis; ++i) {
        image.axes.push_back(axes[i]);
        total *= axes[i];
    }
    image.samples.resize(static_cast<size_t>(total));
    if (!status && total > 0)
        fits_read_img(f, TLONG, 1, total, nullptr, image.samples.data(), nullptr, &status);
    int closing = 0;
    fits_close_file(f, &closing);
    image.ok = status == 0;
    if (!image.ok) image.error = "cfitsio status " + std::to_string(status);
    return image;
}

/// Reads a file with astropy: the header cards, the array's shape (numpy order: planes, rows,
/// columns) and the samples in file order, as numbers after BZERO.
/// Without `samples` only the header and the shape are read (large images).
inline FitsImage readWithAstropy(const std::string& path, std::vector<long>* shape = nullptr,
                                 std::string* dtype = nullptr, bool samples = true) {
    static const char* kScript = R"(import sys
from astropy.io import fits
with fits.open(sys.argv[1]) as hdus:
    h = hdus[0]
    print("shape", *h.data.shape)
    print("dtype", h.data.dtype.name)
    for card in h.header.cards:
        if card.keyword and card.keyword not in ("COMMENT", "HISTORY"):
            print("key", card.keyword + "=" + str(card.value))
    if sys.argv[2] == "1":
        print("data", *h.data.ravel().tolist())
)";
    FitsImage image;
    const std::string script = path + ".check.py";
    {
        std::ofstream out(script);
        out << kScript;
    }
    int code = 0;
    const std::string text = runCommand("timeout 120 /usr/bin/python3 " + quoted(script) + " " +
                                            quoted(path) + (samples ? " 1" : " 0"),
                                        &code);
    std::remove(script.c_str());
    if (code != 0) {
        image.error = text;
        return image;
    }
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string tag;
        words >> tag;
        if (tag == "shape") {
            long v;
            while (words >> v) image.axes.push_back(v);
            if (shape) *shape = image.axes;
        } else if (tag == "dtype") {
            std::string d;
            words >> d;
            if (dtype) *dtype = d;
        } else if (tag == "key") {
            const std::string rest = line.substr(4);
            const size_t eq = rest.find('=');
            if (eq != std::string::npos) image.keys[rest.substr(0, eq)] = rest.substr(eq + 1);
        } else if (tag == "data") {
            long v;
            while (words >> v) image.samples.push_back(v);
        }
    }
    image.ok = true;
    return image;
}

} // namespace hxtest
