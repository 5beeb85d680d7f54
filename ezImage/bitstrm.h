// Buffered little-endian byte streams over files, used by the RAW, BMP and TIFF codecs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

/// Stops the program when a stream precondition (a programming error) does not hold.
[[noreturn]] void ezStreamAssertFailed(const char* function, const char* condition);

#define HX_BITSTRM_ASSERT(cond)                                                                    \
    do {                                                                                           \
        if (!(cond)) ezStreamAssertFailed(__func__, #cond);                                        \
    } while (0)

/// Buffered reader of a binary file: reads block by block, little-endian words.
class RBaseStream {
public:
    RBaseStream();
    virtual ~RBaseStream();
    RBaseStream(const RBaseStream&) = delete;
    RBaseStream& operator=(const RBaseStream&) = delete;

    virtual bool open(const std::string& path);
    virtual void close();
    bool isOpened() const { return m_is_opened; }

    void setPos(int pos);
    int getPos();
    void skip(int bytes);
    int getByte();
    int getBytes(void* dst, int count);
    int getWord();
    int getDWord();

protected:
    virtual void readBlock();
    virtual void release();
    virtual void allocate();

    unsigned char* m_start = nullptr;   ///< buffer start
    unsigned char* m_end = nullptr;     ///< end of the valid bytes in the buffer
    unsigned char* m_current = nullptr; ///< read position in the buffer
    std::FILE* m_file = nullptr;
    int m_block_size = 0x8000;
    int64_t m_block_pos = 0; ///< file offset of the buffer's first byte
    bool m_is_opened = false;
    bool m_allocated = false; ///< the buffer belongs to this stream
};

/// Buffered writer of a binary file: little-endian words, write errors remembered.
class WBaseStream {
public:
    WBaseStream();
    virtual ~WBaseStream();
    WBaseStream(const WBaseStream&) = delete;
    WBaseStream& operator=(const WBaseStream&) = delete;

    virtual bool open(const std::string& path);
    virtual void close();
    bool isOpened() const { return m_is_opened; }
    /// True once any write, flush or close of the file has failed since open().
    bool hasError() const { return m_error; }

    int getPos();
    void putByte(int val);
    void putBytes(const void* data, int count);
    void putWord(int val);
    void putDWord(int val);

protected:
    virtual void writeBlock();
    virtual void release();
    virtual void allocate();

    unsigned char* m_start = nullptr;
    unsigned char* m_end = nullptr;
    unsigned char* m_current = nullptr;
    std::FILE* m_file = nullptr;
    int m_block_size = 0x8000;
    int64_t m_block_pos = 0; ///< bytes flushed to the file so far
    bool m_is_opened = false;
    bool m_error = false;
};
