// Snapshots of the base camera: the immediate save of a record the caller holds, and the
// deferred save that the processing chain serves with the first finished frame taken at the
// requested resolution. Files are written in the fixed order .raw, .jpg, .bmp, .png, .tif,
// .fits.
#include <cstring>
#include <memory>
#include <new>

#include "camera/CamBayer.h"

namespace {

/// Snap-format bits.
enum : int {
    kSnapRaw = 1,
    kSnapTiff = 2,
    kSnapPng = 4,
    kSnapJpeg = 8,
    kSnapBmp = 16,
    kSnapFits = 32,
    kSnapFitsRaw = 64, ///< the FITS file holds the record as handed over (the sensor samples)
};

/// Whether the formats ask for the finished image of a raw record. RAW alone asks too: the
/// frame is processed once whatever is written.
bool needsFinishedImage(int formats) {
    const int finished = kSnapRaw | kSnapTiff | kSnapPng | kSnapJpeg | kSnapBmp;
    return (formats & finished) || ((formats & kSnapFits) && !(formats & kSnapFitsRaw));
}

/// A record header whose geometry the writers can trust: known depth and channel count, a
/// non-empty image and a stride that matches it.
bool soundHeader(const _ezImage& h) {
    if (h.headerSize < sizeof(_ezImage)) return false;
    if (h.depth != 8 && h.depth != 16) return false;
    if (h.channels != 1 && h.channels != 3 && h.channels != 4) return false;
    if (h.width == 0 || h.height == 0) return false;
    return h.stride == h.width * h.channels * h.depth / 8;
}

} // namespace

/// Writes one file per selected format; the RAW file receives `raw` after the camera stamped its
/// settings into it, the others the finished image. The FITS file holds the finished image, or
/// with kSnapFitsRaw the same record as the RAW file: for a frame, its sensor samples. Every
/// selected file is attempted; false when any of them could not be written (those that could
/// stay).
bool CamBayer::writeSnapshotFiles(const std::string& path, int formats, _ezImage* raw,
                                  const _ezImage* image) {
    bool ok = true;
    if ((formats & kSnapRaw) && raw) {
        _init_save_image(raw);
        ok = ezSaveImage(path + ".raw", raw) && ok;
    }
    if (image) {
        if (formats & kSnapJpeg) ok = ezSaveImage(path + ".jpg", image) && ok;
        if (formats & kSnapBmp) ok = ezSaveImage(path + ".bmp", image) && ok;
        if (formats & kSnapPng) ok = ezSaveImage(path + ".png", image) && ok;
        if (formats & kSnapTiff) ok = ezSaveImage(path + ".tif", image) && ok;
    }
    if (formats & kSnapFits) {
        const _ezImage* fits = (formats & kSnapFitsRaw) ? raw : image;
        if (fits) ok = ezSaveImage(path + ".fits", fits) && ok;
    }
    return ok;
}

/// Saves a record held in one buffer (header, then pixels) in every format of `formats`. A raw
/// record is processed once into a temporary buffer for the formats that need a finished image.
/// Returns 0 when every file was written, -2 for a null buffer or a header that does not
/// describe an image, -3 when the temporary buffer cannot be had or a file could not be written
/// (the others are still written), -4 without the record magic.
int CamBayer::_savefile(unsigned char* buffer, const std::string& path, int formats) {
    if (!buffer) return -2;
    if (std::memcmp(buffer, "QREZ", 4) != 0) return -4;
    auto* record = reinterpret_cast<_ezImage*>(buffer);
    if (!soundHeader(*record)) return -2;
    // The pixels always follow the header, wherever the buffer was when the record was built.
    record->data = buffer + record->headerSize;
    record->tail = record->data + static_cast<size_t>(record->stride) * record->height;

    std::unique_ptr<unsigned char[]> temporary;
    // A raw record asked only for its own samples (a raw FITS file) is not processed at all.
    const _ezImage* image = record->decoded ? record : nullptr;
    if (!record->decoded && needsFinishedImage(formats)) {
        const int channels = _channles() > 0 ? _channles() : 1;
        const size_t bytes = record->headerSize +
                             static_cast<size_t>(record->height) * record->stride * channels +
                             kEzStatisticsBytes;
        temporary.reset(new (std::nothrow) unsigned char[bytes]);
        if (!temporary) return -3;
        if (_raw2image(buffer, temporary.get(), true) != 0) return -2;
        image = reinterpret_cast<const _ezImage*>(temporary.get());
    }
    return writeSnapshotFiles(path, formats, record, image) ? 0 : -3;
}

/// Arms a deferred snapshot: switches to the requested resolution when it differs (the old one
/// is restored after the save) and notes the size of the finished frames to wait for. Returns 0;
/// -2 (nothing armed) for a resolution index the camera does not have.
int CamBayer::_saveimage(const std::string& path, int index) {
    Lock lock(settingsLock);
    if (index < resolution.min || index >= resolution.max || !resolution.table) return -2;
    savePath = path;
    savedResolution = static_cast<int16_t>(resolution.value);
    if (index != resolution.value) _set_resolution(index, false);

    int width = 0, height = 0;
    if (roiState.load() || hardwareWindow.load()) {
        width = roiSize.wValue;
        height = roiSize.wIndex;
    } else {
        width = resItem(index).sensorWidth;
        height = resItem(index).sensorHeight;
    }
    const int turn = rotate.load();
    if (turn == 1 || turn == 2) std::swap(width, height);
    expectedWidth = static_cast<int16_t>(width);
    expectedHeight = static_cast<int16_t>(height);
    savePending = true;
    return 0;
}

/// As `_saveimage`; the callback is kept with the camera and never invoked.
int CamBayer::_callback_save_iamge(const std::string& path, int index,
                                   void* (*callback)(unsigned char*)) {
    {
        Lock lock(settingsLock);
        saveCallback = callback;
    }
    return _saveimage(path, index);
}

/// The snapshot step of the chain: when a deferred save waits and this frame was taken at the
/// current resolution with the expected size, writes its files, and then goes back to the
/// resolution that was active when the save was asked for. Other frames leave it pending.
void CamBayer::serveDeferredSave(_ezImage* raw, _ezImage* image) {
    if (!savePending.load() || !raw || !image) return;
    std::string path;
    int16_t saved = 0;
    int formats = 0;
    {
        Lock lock(settingsLock);
        if (!savePending.load()) return;
        if (raw->resolution != resolution.value) return;
        if (image->width != expectedWidth - 8 || image->height != expectedHeight - 8) return;
        path = savePath;
        saved = savedResolution;
        formats = snapFormat.load();
    }
    writeSnapshotFiles(path, formats, raw, image);

    Lock lock(settingsLock);
    // A request made while the files were written is a new one: it stays pending.
    if (savePath != path || savedResolution != saved) return;
    savePending = false;
    if (saved != resolution.value) _set_resolution(saved, false);
}
