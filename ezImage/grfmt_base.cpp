// Encoder and decoder base classes and the all-or-nothing output file.
#include "ezImage/grfmt_base.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <random>

bool BaseImageEncoder::isFormatSupported(int depth) const {
    return depth == 8;
}

bool BaseImageEncoder::setDestination(const std::string& path) {
    m_filename = path;
    return true;
}

std::string BaseImageEncoder::getDescription() const {
    return m_description;
}

bool BaseImageDecoder::setSource(const std::string& path) {
    m_filename = path;
    return true;
}

size_t BaseImageDecoder::signatureLength() const {
    return m_signature.size();
}

bool BaseImageDecoder::checkSignature(const std::string& head) const {
    const size_t len = signatureLength();
    return head.size() >= len && head.compare(0, len, m_signature) == 0;
}

size_t ezRowBytes(const _ezImage& image) {
    return static_cast<size_t>(image.width) * image.channels * image.depth / 8;
}

namespace {
/// A short, unique temporary name: never derived from the final name, so it cannot exceed the
/// file-name limit when the final name is near it.
std::string temporaryName() {
    static std::atomic<unsigned> counter{0};
    thread_local std::minstd_rand random(std::random_device{}());
    char name[64];
    std::snprintf(name, sizeof name, ".hxsave-%d-%u-%08x.tmp", static_cast<int>(getpid()),
                  counter.fetch_add(1, std::memory_order_relaxed), static_cast<unsigned>(random()));
    return name;
}
} // namespace

AtomicFile::AtomicFile(const std::string& finalPath) : m_finalPath(finalPath) {
    if (finalPath.empty() || finalPath.back() == '/') return;
    const size_t slash = finalPath.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string() : finalPath.substr(0, slash + 1);
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string candidate = dir + temporaryName();
        // O_EXCL: never reuse or follow an existing file; mode 0666 lets the umask decide.
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            m_tempPath = std::move(candidate);
            return;
        }
        if (errno != EEXIST) return;
    }
}

AtomicFile::~AtomicFile() {
    if (!m_tempPath.empty()) ::unlink(m_tempPath.c_str());
}

bool AtomicFile::commit() {
    if (m_tempPath.empty()) return false;
    if (::rename(m_tempPath.c_str(), m_finalPath.c_str()) != 0) {
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
        return false;
    }
    m_tempPath.clear();
    return true;
}
