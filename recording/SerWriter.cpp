// SER writer. The header is little-endian throughout; frames follow it without gaps; the trailer
// holds one 64-bit UTC time stamp (100 ns ticks since 0001-01-01) per frame.
//
// Byte order of 16-bit samples: we write them little-endian and set the header's LittleEndian
// field to 0. The format's description reads 0 as big-endian, but the capture programs that
// made the format common write little-endian data with 0 there, and the stacking tools that
// read SER files expect exactly that (they read 0 as little-endian). A file that follows the
// description to the letter would come out byte-swapped in those tools; readers that follow
// the description (FFmpeg's demuxer among them) see our 16-bit files byte-swapped instead.
#include "recording/SerWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>

namespace hx::recording {

namespace {

void put32(unsigned char* p, int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(u >> (8 * i));
}

void put64(unsigned char* p, int64_t v) {
    const auto u = static_cast<uint64_t>(v);
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(u >> (8 * i));
}

/// A text field of the header: at most `size` bytes, the rest zero. A longer text is cut
/// between two UTF-8 characters, never inside one.
void putText(unsigned char* p, const std::string& text, size_t size) {
    size_t n = std::min(text.size(), size);
    if (n < text.size())
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    std::memcpy(p, text.data(), n);
}

bool validColour(int32_t colour) {
    return colour == kSerMono || colour == kSerRGB ||
           (colour >= kSerBayerRGGB && colour <= kSerBayerBGGR);
}

} // namespace

int32_t serColourOfBayer(int bayerCode) {
    switch (bayerCode) {
    case 1:
        return kSerBayerBGGR;
    case 2:
        return kSerBayerGBRG;
    case 3:
        return kSerBayerRGGB;
    case 4:
        return kSerBayerGRBG;
    default:
        return kSerMono;
    }
}

int64_t serTicks(int64_t utcMicros) {
    // A clock far off (or a frame without a time) still gives a time stamp: before year 1 is
    // year 1, past the ticks' range their last one.
    constexpr int64_t kFirst = -kSerTicksAt1970 / 10;
    constexpr int64_t kLast = (std::numeric_limits<int64_t>::max() - kSerTicksAt1970) / 10;
    if (utcMicros <= kFirst) return 0;
    if (utcMicros > kLast) return std::numeric_limits<int64_t>::max();
    return kSerTicksAt1970 + utcMicros * 10;
}

std::string SerWriter::serPath(const std::string& directory, std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char name[32];
    std::strftime(name, sizeof name, "%m%d%H%M%S", &local);
    return directory + name + ".ser";
}

std::vector<unsigned char> SerWriter::header(const SerFormat& format, int32_t frames,
                                             int64_t firstUtcMicros) {
    std::vector<unsigned char> h(kSerHeaderBytes, 0);
    std::memcpy(h.data(), "LUCAM-RECORDER", 14);
    put32(&h[14], 0); // LuID
    put32(&h[18], format.colour);
    put32(&h[22], 0); // LittleEndian: 0 with little-endian samples, see the top of this file
    put32(&h[26], format.width);
    put32(&h[30], format.height);
    put32(&h[34], format.depth);
    put32(&h[38], frames);
    putText(&h[42], format.observer, 40);
    putText(&h[82], format.instrument, 40);
    putText(&h[122], format.telescope, 40);
    if (firstUtcMicros > 0) {
        const auto seconds = static_cast<std::time_t>(firstUtcMicros / 1000000);
        std::tm local{};
        localtime_r(&seconds, &local);
        const int64_t utc = serTicks(firstUtcMicros);
        int64_t there = 0;
        if (__builtin_add_overflow(utc, static_cast<int64_t>(local.tm_gmtoff) * 10000000, &there))
            there = utc;
        put64(&h[162], there);
        put64(&h[170], utc);
    }
    return h;
}

SerWriter::SerWriter(SerOptions options) : options_(options) {
    options_.queueFrames = std::clamp(options_.queueFrames, 1, 1024);
    options_.headerIntervalMs = std::clamp(options_.headerIntervalMs, 1, 1000);
}

SerWriter::~SerWriter() {
    close();
}

bool SerWriter::open(const std::string& path, const SerFormat& format) {
    std::lock_guard<std::mutex> guard(appendMutex_);
    if (open_) {
        error_ = "a recording is open already";
        return false;
    }
    const int planes = format.colour == kSerRGB ? 3 : 1;
    if (format.width <= 0 || format.height <= 0 || format.width > 65535 || format.height > 65535 ||
        format.depth < 1 || format.depth > 16 || !validColour(format.colour)) {
        error_ = "frame format out of range";
        return false;
    }
    pixelBytes_ = static_cast<size_t>(planes) * (format.depth > 8 ? 2 : 1);
    frameBytes_ = pixelBytes_ * static_cast<size_t>(format.width) * format.height;
    // Never replace a file: an earlier recording of the same name stays.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        error_ = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    format_ = format;
    path_ = path;
    const std::vector<unsigned char> h = header(format_, 0, 0);
    if (!writeAll(h.data(), h.size())) {
        error_ = "cannot write " + path + ": " + std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        ::unlink(path.c_str());
        return false;
    }
    try {
        free_.clear();
        ready_.clear();
        for (int i = 0; i < options_.queueFrames; ++i)
            free_.push_back(Slot{std::make_unique<unsigned char[]>(frameBytes_), 0});
    } catch (...) {
        error_ = "not enough memory for the frame queue";
        ::close(fd_);
        fd_ = -1;
        ::unlink(path.c_str());
        return false;
    }
    stamps_.clear();
    headerFrames_ = 0;
    diskFailed_ = false;
    written_ = 0;
    dropped_ = 0;
    closing_ = false;
    error_.clear();
    open_ = true;
    writer_ = std::thread(&SerWriter::writerLoop, this);
    return true;
}

bool SerWriter::append(const unsigned char* pixels, int64_t utcMicros, int flip) {
    std::lock_guard<std::mutex> guard(appendMutex_);
    if (!open_ || !pixels) return false;
    Slot slot;
    {
        std::unique_lock<std::mutex> lock(queueMutex_);
        if (free_.empty() && options_.waitWhenFull)
            roomFree_.wait(lock, [this] { return !free_.empty(); });
        if (free_.empty()) {
            ++dropped_;
            return true;
        }
        slot = std::move(free_.back());
        free_.pop_back();
    }
    // The copy runs outside the lock, so the disk thread goes on meanwhile.
    const size_t row = pixelBytes_ * format_.width;
    const int height = format_.height;
    for (int y = 0; y < height; ++y) {
        const unsigned char* src = pixels + row * ((flip & 2) ? height - 1 - y : y);
        unsigned char* dst = slot.pixels.get() + row * y;
        if (!(flip & 1)) {
            std::memcpy(dst, src, row);
            continue;
        }
        for (int x = 0; x < format_.width; ++x)
            std::memcpy(dst + pixelBytes_ * x, src + pixelBytes_ * (format_.width - 1 - x),
                        pixelBytes_);
    }
    slot.utcMicros = utcMicros;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        ready_.push_back(std::move(slot));
    }
    frameReady_.notify_one();
    return true;
}

bool SerWriter::writeAll(const unsigned char* data, size_t bytes) {
    while (bytes > 0) {
        const ssize_t n = ::write(fd_, data, bytes);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        bytes -= static_cast<size_t>(n);
    }
    return true;
}

void SerWriter::refreshHeader() {
    const int32_t frames = static_cast<int32_t>(stamps_.size());
    if (frames == headerFrames_) return;
    const int64_t first = stamps_.empty() ? 0 : (stamps_.front() - kSerTicksAt1970) / 10;
    const std::vector<unsigned char> h = header(format_, frames, first);
    if (::pwrite(fd_, h.data(), h.size(), 0) == static_cast<ssize_t>(h.size()))
        headerFrames_ = frames;
}

/// Takes frames in the order they were appended and writes them; between frames, and at least
/// every header interval while waiting, brings the header's frame count up to date. After a
/// failed write the file is cut back to its last whole frame and later frames are dropped.
void SerWriter::writerLoop() {
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::milliseconds(options_.headerIntervalMs);
    auto lastHeader = Clock::now();
    for (;;) {
        Slot slot;
        bool have = false, done = false;
        {
            std::unique_lock<std::mutex> lock(queueMutex_);
            frameReady_.wait_for(lock, interval, [this] { return !ready_.empty() || closing_; });
            if (!ready_.empty()) {
                slot = std::move(ready_.front());
                ready_.pop_front();
                have = true;
            } else {
                done = closing_;
            }
        }
        if (have) {
            if (diskFailed_) {
                ++dropped_;
            } else if (writeAll(slot.pixels.get(), frameBytes_)) {
                stamps_.push_back(serTicks(slot.utcMicros));
                ++written_;
            } else {
                diskFailed_ = true;
                error_ = "cannot write " + path_ + ": " + std::strerror(errno);
                ++dropped_;
                const off_t whole =
                    static_cast<off_t>(kSerHeaderBytes + frameBytes_ * stamps_.size());
                if (::ftruncate(fd_, whole) != 0 || ::lseek(fd_, whole, SEEK_SET) != whole) {
                    // The header still counts only whole frames; a reader stops there.
                }
            }
            {
                std::lock_guard<std::mutex> lock(queueMutex_);
                free_.push_back(std::move(slot));
            }
            roomFree_.notify_one();
        }
        if (Clock::now() - lastHeader >= interval) {
            refreshHeader();
            lastHeader = Clock::now();
        }
        if (done) return;
    }
}

bool SerWriter::close() {
    std::lock_guard<std::mutex> guard(appendMutex_);
    if (!open_) return false;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        closing_ = true;
    }
    frameReady_.notify_one();
    if (writer_.joinable()) writer_.join();
    bool ok = !diskFailed_;
    // Trailer: the time stamps, right after the last whole frame.
    std::vector<unsigned char> trailer(stamps_.size() * 8);
    for (size_t i = 0; i < stamps_.size(); ++i) put64(&trailer[8 * i], stamps_[i]);
    if (ok && !trailer.empty() && !writeAll(trailer.data(), trailer.size())) {
        ok = false;
        error_ = "cannot write the time stamps of " + path_;
        const off_t whole = static_cast<off_t>(kSerHeaderBytes + frameBytes_ * stamps_.size());
        if (::ftruncate(fd_, whole) != 0) {
            // The frames stay readable; only their time stamps are missing.
        }
    }
    headerFrames_ = -1;
    refreshHeader();
    if (headerFrames_ != static_cast<int32_t>(stamps_.size())) ok = false;
    if (::close(fd_) != 0) ok = false;
    fd_ = -1;
    open_ = false;
    free_.clear();
    ready_.clear();
    return ok;
}

} // namespace hx::recording
