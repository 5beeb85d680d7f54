// Abstract image encoder and decoder of the codec registry, and the all-or-nothing output file
// that every writer goes through.
#pragma once

#include <memory>
#include <string>

#include "ezImage/ezImage.h"

class RBaseStream;

/// Writes images of one file format. The registry holds one prototype per format; each save
/// works on its own copy (clone()), so the stored destination is never shared between threads.
class BaseImageEncoder {
public:
    BaseImageEncoder() = default;
    virtual ~BaseImageEncoder() = default;
    virtual bool isFormatSupported(int depth) const;
    virtual bool setDestination(const std::string& path);
    virtual bool write(const _ezImage& image) = 0;
    virtual std::string getDescription() const;
    /// A fresh encoder of the same format with the same settings.
    virtual std::unique_ptr<BaseImageEncoder> clone() const = 0;

protected:
    BaseImageEncoder(const BaseImageEncoder&) = default;
    BaseImageEncoder& operator=(const BaseImageEncoder&) = default;

    std::string m_description; ///< file-type label, e.g. "(*.raw)"; extensions are read from it
    std::string m_filename;    ///< destination path
};

/// Reads images of one file format: the header first, then the pixels.
class BaseImageDecoder {
public:
    BaseImageDecoder() = default;
    virtual ~BaseImageDecoder() = default;
    virtual bool setSource(const std::string& path);
    virtual bool readHeader(RBaseStream& stream) = 0;
    virtual bool readData(_ezImage& image, RBaseStream& stream) = 0;
    virtual size_t signatureLength() const;
    virtual bool checkSignature(const std::string& head) const;
    /// A fresh decoder of the same format, with no source and no header values.
    virtual std::unique_ptr<BaseImageDecoder> newDecoder() const = 0;

    int width() const { return m_width; }
    int height() const { return m_height; }
    int depth() const { return m_depth; }
    int channels() const { return m_channels; }
    int dataOffset() const { return m_offset; }

protected:
    BaseImageDecoder(const BaseImageDecoder&) = default;
    BaseImageDecoder& operator=(const BaseImageDecoder&) = default;

    std::string m_filename;
    std::string m_signature;
    int m_width = 0;
    int m_height = 0;
    int m_depth = 8;
    int m_channels = 0;
    int m_offset = -1; ///< file offset of the pixel data, -1 when unknown
};

/// A file that appears under its final name only when it was written completely.
/// The constructor creates a uniquely named temporary file in the destination's directory;
/// commit() renames it into place; destruction without a successful commit removes it.
class AtomicFile {
public:
    explicit AtomicFile(const std::string& finalPath);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    /// Whether the temporary file could be created.
    bool isCreated() const { return !m_tempPath.empty(); }
    /// Path of the temporary file to write to.
    const std::string& path() const { return m_tempPath; }
    /// Renames the temporary file to the final name; false (and the temporary removed) on failure.
    bool commit();

private:
    std::string m_finalPath;
    std::string m_tempPath;
};

/// Bytes per row of the pixel block as laid out in memory (width × channels × depth / 8).
size_t ezRowBytes(const _ezImage& image);
