// Buffered byte streams of the image-file layer.
#include "ezImage/bitstrm.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

/// Precondition failures are programming errors: report source, function and condition, stop.
void ezStreamAssertFailed(const char* function, const char* condition) {
    std::fprintf(stderr, "bitstrm: %s: assertion \"%s\" failed\n", function, condition);
    std::fflush(stderr);
    std::abort();
}

// ---- RBaseStream ---------------------------------------------------------------------------

RBaseStream::RBaseStream() = default;

RBaseStream::~RBaseStream() {
    close();
    release();
}

/// Allocates the block buffer once; an empty buffer (end == current) forces a load on first read.
void RBaseStream::allocate() {
    if (!m_allocated) {
        m_start = new unsigned char[static_cast<size_t>(m_block_size)];
        m_end = m_start + m_block_size;
        m_current = m_end;
        m_allocated = true;
    }
}

void RBaseStream::release() {
    if (m_allocated) delete[] m_start;
    m_start = m_end = m_current = nullptr;
    m_allocated = false;
}

bool RBaseStream::open(const std::string& path) {
    close();
    allocate();
    m_file = std::fopen(path.c_str(), "rb");
    if (!m_file) return false;
    m_is_opened = true;
    m_block_pos = 0;
    m_current = m_start;
    readBlock();
    return true;
}

void RBaseStream::close() {
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    m_is_opened = false;
    if (!m_allocated) m_start = m_end = m_current = nullptr;
}

/// Moves the read position. When the position leaves the loaded block the block is reloaded,
/// so bytes are never taken from a block at another file offset.
void RBaseStream::setPos(int pos) {
    HX_BITSTRM_ASSERT(isOpened() && pos >= 0);
    if (!m_file) {
        m_current = m_start + std::min<int64_t>(pos, m_end - m_start);
        m_block_pos = 0;
        return;
    }
    const int offset = pos % m_block_size;
    const int64_t blockPos = pos - offset;
    if (blockPos != m_block_pos) {
        m_block_pos = blockPos;
        m_current = m_start + offset;
        readBlock();
    } else {
        m_current = m_start + offset;
    }
}

int RBaseStream::getPos() {
    HX_BITSTRM_ASSERT(isOpened());
    return static_cast<int>(m_block_pos + (m_current - m_start));
}

/// Loads the block that holds the current position; at the end of the file the block is empty.
void RBaseStream::readBlock() {
    if (!m_file) return;
    const int64_t pos = m_block_pos + (m_current - m_start);
    const int offset = static_cast<int>(pos % m_block_size);
    m_block_pos = pos - offset;
    size_t got = 0;
    if (std::fseek(m_file, static_cast<long>(m_block_pos), SEEK_SET) == 0)
        got = std::fread(m_start, 1, static_cast<size_t>(m_block_size), m_file);
    m_end = m_start + got;
    m_current = m_start + offset;
}

void RBaseStream::skip(int bytes) {
    HX_BITSTRM_ASSERT(bytes >= 0);
    if (!m_start) return;
    const int64_t pos = m_block_pos + (m_current - m_start) + bytes;
    // Keep the position inside the buffer arithmetic; a skip across blocks reloads lazily.
    const int offset = static_cast<int>(pos % m_block_size);
    const int64_t blockPos = pos - offset;
    if (blockPos != m_block_pos) {
        m_block_pos = blockPos;
        m_end = m_start; // stale: force a load on the next read
    }
    m_current = m_start + offset;
}

/// Returns the next byte; past the end of the file it returns 0 and still advances.
int RBaseStream::getByte() {
    if (!m_start) return 0;
    if (m_current >= m_end) readBlock();
    if (m_current < m_end) return *m_current++;
    // End of file: advance the logical position without touching the buffer.
    skip(1);
    return 0;
}

/// Copies up to count bytes; returns the number copied (fewer at the end of the file).
int RBaseStream::getBytes(void* dst, int count) {
    HX_BITSTRM_ASSERT(count >= 0);
    auto* out = static_cast<unsigned char*>(dst);
    int done = 0;
    while (m_start && done < count) {
        if (m_current >= m_end) {
            readBlock();
            if (m_current >= m_end) break;
        }
        const int chunk = static_cast<int>(std::min<int64_t>(count - done, m_end - m_current));
        std::memcpy(out + done, m_current, static_cast<size_t>(chunk));
        m_current += chunk;
        done += chunk;
    }
    return done;
}

int RBaseStream::getWord() {
    const int lo = getByte();
    const int hi = getByte();
    return lo | (hi << 8);
}

int RBaseStream::getDWord() {
    const unsigned b0 = static_cast<unsigned>(getByte());
    const unsigned b1 = static_cast<unsigned>(getByte());
    const unsigned b2 = static_cast<unsigned>(getByte());
    const unsigned b3 = static_cast<unsigned>(getByte());
    return static_cast<int>(b0 | (b1 << 8) | (b2 << 16) | (b3 << 24));
}

// ---- WBaseStream ---------------------------------------------------------------------------

WBaseStream::WBaseStream() = default;

WBaseStream::~WBaseStream() {
    close();
    release();
}

void WBaseStream::allocate() {
    if (!m_start) m_start = new unsigned char[static_cast<size_t>(m_block_size)];
    m_end = m_start + m_block_size;
    m_current = m_start;
}

void WBaseStream::release() {
    delete[] m_start;
    m_start = m_end = m_current = nullptr;
}

bool WBaseStream::open(const std::string& path) {
    close();
    allocate();
    m_file = std::fopen(path.c_str(), "wb");
    if (m_file) {
        m_is_opened = true;
        m_error = false;
        m_block_pos = 0;
        m_current = m_start;
    }
    return m_file != nullptr;
}

/// Flushes the buffer to the file and remembers a short write.
void WBaseStream::writeBlock() {
    HX_BITSTRM_ASSERT(isOpened());
    const size_t size = static_cast<size_t>(m_current - m_start);
    if (size > 0 && std::fwrite(m_start, 1, size, m_file) != size) m_error = true;
    m_block_pos += static_cast<int64_t>(size);
    m_current = m_start;
}

void WBaseStream::close() {
    if (m_is_opened) writeBlock();
    if (m_file) {
        if (std::fclose(m_file) != 0) m_error = true;
        m_file = nullptr;
    }
    m_is_opened = false;
}

int WBaseStream::getPos() {
    HX_BITSTRM_ASSERT(isOpened());
    return static_cast<int>(m_block_pos + (m_current - m_start));
}

void WBaseStream::putByte(int val) {
    if (!m_current) return; // never opened: nothing to write into
    *m_current++ = static_cast<unsigned char>(val);
    if (m_current >= m_end) writeBlock();
}

void WBaseStream::putBytes(const void* data, int count) {
    HX_BITSTRM_ASSERT(data && m_current && count >= 0);
    const auto* in = static_cast<const unsigned char*>(data);
    while (count > 0) {
        const int chunk = static_cast<int>(std::min<int64_t>(count, m_end - m_current));
        std::memcpy(m_current, in, static_cast<size_t>(chunk));
        m_current += chunk;
        in += chunk;
        count -= chunk;
        if (m_current >= m_end) writeBlock();
    }
}

void WBaseStream::putWord(int val) {
    putByte(val);
    putByte(val >> 8);
}

void WBaseStream::putDWord(int val) {
    const unsigned v = static_cast<unsigned>(val);
    putByte(static_cast<int>(v & 0xFF));
    putByte(static_cast<int>((v >> 8) & 0xFF));
    putByte(static_cast<int>((v >> 16) & 0xFF));
    putByte(static_cast<int>(v >> 24));
}
