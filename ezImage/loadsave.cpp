// The codec registry: encoders chosen by file extension, decoders by file signature, and the
// load/save entry points.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "ezImage/bitstrm.h"
#include "ezImage/ezImage.h"
#include "ezImage/grfmt_bmp.h"
#include "ezImage/grfmt_fits.h"
#include "ezImage/grfmt_jpeg.h"
#include "ezImage/grfmt_png.h"
#include "ezImage/grfmt_raw.h"
#include "ezImage/grfmt_tiff.h"

namespace {
/// The registered codecs, in registration order, owned by the registry. Lookups take the lock
/// shared; registration and clearing take it exclusively.
struct Registry {
    std::shared_mutex lock;
    std::vector<std::unique_ptr<BaseImageEncoder>> encoders;
    std::vector<std::unique_ptr<BaseImageDecoder>> decoders;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

bool isAlnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

/// Whether a description such as "TIFF Files (*.tiff;*.tif)" lists the extension: after the first
/// '(' every '.' starts a run of letters and digits that must equal it whole, ignoring case.
bool descriptionHasExtension(const std::string& description, const std::string& ext) {
    size_t pos = description.find('(');
    if (pos == std::string::npos || ext.empty()) return false;
    while ((pos = description.find('.', pos)) != std::string::npos) {
        ++pos;
        size_t i = 0;
        while (i < ext.size() && pos + i < description.size() &&
               lower(description[pos + i]) == lower(ext[i]))
            ++i;
        const bool runEnds = pos + i >= description.size() || !isAlnum(description[pos + i]);
        if (i == ext.size() && runEnds) return true;
    }
    return false;
}

/// The run of letters and digits after the last '.', at most 128 characters.
std::string extensionOf(const std::string& fileName) {
    const size_t dot = fileName.rfind('.');
    std::string ext;
    for (size_t i = dot + 1; i < fileName.size() && ext.size() < 128 && isAlnum(fileName[i]); ++i)
        ext.push_back(fileName[i]);
    return ext;
}

BaseImageEncoder* findEncoderLocked(Registry& reg, const std::string& fileName) {
    if (fileName.size() <= 1 || fileName.find('.') == std::string::npos) return nullptr;
    const std::string ext = extensionOf(fileName);
    for (const auto& encoder : reg.encoders)
        if (descriptionHasExtension(encoder->getDescription(), ext)) return encoder.get();
    return nullptr;
}

BaseImageDecoder* findDecoderLocked(Registry& reg, const std::string& fileName) {
    size_t longest = 0;
    for (const auto& decoder : reg.decoders)
        longest = std::max(longest, decoder->signatureLength());
    std::FILE* file = std::fopen(fileName.c_str(), "rb");
    if (!file) return nullptr;
    std::string head(longest, '\0');
    head.resize(std::fread(head.data(), 1, longest, file));
    std::fclose(file);
    for (const auto& decoder : reg.decoders)
        if (decoder->checkSignature(head)) return decoder.get();
    return nullptr;
}
} // namespace

/// Registers one encoder per format (RAW, BMP, JPEG, TIFF, PNG, FITS, in this order) and the RAW
/// decoder, so that ezLoadImage can read the files RawEncoder writes.
void ezInitGrfmt() {
    Registry& reg = registry();
    std::unique_lock guard(reg.lock);
    reg.encoders.push_back(std::make_unique<RawEncoder>());
    reg.encoders.push_back(std::make_unique<BmpEncoder>());
    reg.encoders.push_back(std::make_unique<JpegEncoder>());
    reg.encoders.push_back(std::make_unique<TiffEncoder>());
    reg.encoders.push_back(std::make_unique<PngEncoder>());
    reg.encoders.push_back(std::make_unique<FitsEncoder>());
    reg.decoders.push_back(std::make_unique<RawDecoder>());
}

void exExitGrfmt() {
    Registry& reg = registry();
    std::unique_lock guard(reg.lock);
    reg.encoders.clear();
    reg.decoders.clear();
}

BaseImageEncoder* findEncoder(const std::string& fileName) {
    Registry& reg = registry();
    std::shared_lock guard(reg.lock);
    return findEncoderLocked(reg, fileName);
}

BaseImageDecoder* findDecoder(const std::string& fileName) {
    Registry& reg = registry();
    std::shared_lock guard(reg.lock);
    return findDecoderLocked(reg, fileName);
}

/// Saves through a private copy of the registered encoder, so that saves on several threads
/// never share a destination.
bool ezSaveImage(const std::string& fileName, const _ezImage* image) {
    if (!image) return false;
    if (image->channels != 1 && image->channels != 3 && image->channels != 4) return false;
    try {
        std::unique_ptr<BaseImageEncoder> encoder;
        {
            Registry& reg = registry();
            std::shared_lock guard(reg.lock);
            BaseImageEncoder* found = findEncoderLocked(reg, fileName);
            if (!found) return false;
            encoder = found->clone();
        }
        encoder->setDestination(fileName);
        return encoder->write(*image);
    } catch (...) {
        return false;
    }
}

_ezImage* ezLoadImage(const std::string& fileName) {
    try {
        std::unique_ptr<BaseImageDecoder> decoder;
        {
            Registry& reg = registry();
            std::shared_lock guard(reg.lock);
            BaseImageDecoder* found = findDecoderLocked(reg, fileName);
            if (!found) return nullptr;
            decoder = found->newDecoder();
        }
        decoder->setSource(fileName);
        RBaseStream stream;
        if (!decoder->readHeader(stream)) return nullptr;
        _ezImage* image = ezCreateImage(decoder->width(), decoder->height(), decoder->depth(),
                                        decoder->channels(), decoder->dataOffset(), 1);
        if (!image) return nullptr;
        if (!decoder->readData(*image, stream)) ezReleaseImage(&image);
        stream.close();
        return image;
    } catch (...) {
        return nullptr;
    }
}
