// Encoder and decoder base classes and the all-or-nothing output file.
#include "ezImage/grfmt_base.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
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
constexpr char kTempPrefix[] = ".hxsave-";
constexpr char kTempSuffix[] = ".tmp";
/// A temporary file untouched for this long belongs to a writer that died (a write in progress
/// touches its file with every block).
constexpr time_t kStaleSeconds = 60;
/// A directory is swept at most this often, so a series of saves does not list it every time.
constexpr auto kSweepInterval = std::chrono::seconds(30);

/// A short, unique temporary name: never derived from the final name, so it cannot exceed the
/// file-name limit when the final name is near it.
std::string temporaryName() {
    static std::atomic<unsigned> counter{0};
    thread_local std::minstd_rand random(std::random_device{}());
    char name[64];
    std::snprintf(name, sizeof name, "%s%d-%u-%08x%s", kTempPrefix, static_cast<int>(getpid()),
                  counter.fetch_add(1, std::memory_order_relaxed), static_cast<unsigned>(random()),
                  kTempSuffix);
    return name;
}

/// Whether a directory entry is named like one of our temporary files.
bool isTemporaryName(const char* name) {
    const size_t n = std::strlen(name), prefix = sizeof kTempPrefix - 1,
                 suffix = sizeof kTempSuffix - 1;
    return n > prefix + suffix && std::strncmp(name, kTempPrefix, prefix) == 0 &&
           std::strcmp(name + n - suffix, kTempSuffix) == 0;
}

/// The process id a temporary name carries, -1 when it carries none.
long temporaryOwner(const char* name) {
    char* end = nullptr;
    const long pid = std::strtol(name + sizeof kTempPrefix - 1, &end, 10);
    return end && *end == '-' ? pid : -1;
}

/// Removes the temporary files that writers killed in the middle of a save (by a signal, a
/// file-size limit, a crash) left in a directory: only regular files of our naming whose
/// writing process is gone, untouched for a minute.
void sweepStaleTemporaries(const std::string& dir) {
    {
        static std::mutex lock;
        static std::map<std::string, std::chrono::steady_clock::time_point> swept;
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard guard(lock);
        auto it = swept.find(dir);
        if (it != swept.end() && now - it->second < kSweepInterval) return;
        if (swept.size() > 256) swept.clear(); // bounded: a forgotten directory is swept again
        swept[dir] = now;
    }
    const std::string path = dir.empty() ? std::string(".") : dir;
    DIR* listing = ::opendir(path.c_str());
    if (!listing) return;
    const int dirFd = ::dirfd(listing);
    const time_t now = ::time(nullptr);
    const long self = static_cast<long>(::getpid());
    while (const dirent* entry = ::readdir(listing)) {
        if (!isTemporaryName(entry->d_name)) continue;
        // A writer that still runs (a long recording paused by a long exposure) keeps its file.
        const long owner = temporaryOwner(entry->d_name);
        if (owner == self ||
            (owner > 0 && (::kill(static_cast<pid_t>(owner), 0) == 0 || errno == EPERM)))
            continue;
        struct stat st {};
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(st.st_mode) || now - st.st_mtime < kStaleSeconds) continue;
        ::unlinkat(dirFd, entry->d_name, 0);
    }
    ::closedir(listing);
}
} // namespace

AtomicFile::AtomicFile(const std::string& finalPath) : m_finalPath(finalPath) {
    if (finalPath.empty() || finalPath.back() == '/') return;
    const size_t slash = finalPath.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string() : finalPath.substr(0, slash + 1);
    sweepStaleTemporaries(dir);
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
