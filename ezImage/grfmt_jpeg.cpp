// JPEG writer: grey or RGB, library defaults, quality 95, one scanline per call.
#include "ezImage/grfmt_jpeg.h"

#include <csetjmp>
#include <cstring>

#include <jerror.h>

static_assert(JPEG_LIB_VERSION == 62, "the writer is built for the libjpeg 6b interface");

// ---- in-memory destination -----------------------------------------------------------------

namespace {
void initDestination(j_compress_ptr) {}

/// Appends count bytes of the work buffer to the output; on allocation failure the compressor
/// fails through its error exit (after the C++ handler has finished).
void appendOrFail(j_compress_ptr cinfo, JpegDestination* dest, size_t count) {
    bool failed = false;
    try {
        dest->output.insert(dest->output.end(), dest->buffer.begin(),
                            dest->buffer.begin() + static_cast<std::ptrdiff_t>(count));
    } catch (...) {
        failed = true;
    }
    if (failed) ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
}

boolean emptyOutputBuffer(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<JpegDestination*>(cinfo->dest);
    appendOrFail(cinfo, dest, dest->buffer.size());
    dest->pub.next_output_byte = dest->buffer.data();
    dest->pub.free_in_buffer = dest->buffer.size();
    return TRUE;
}

void termDestination(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<JpegDestination*>(cinfo->dest);
    const size_t used = dest->buffer.size() - dest->pub.free_in_buffer;
    if (used > 0) appendOrFail(cinfo, dest, used);
}
} // namespace

void jpeg_buffer_dest(jpeg_compress_struct* cinfo, JpegDestination* dest) {
    if (!cinfo || !dest) return;
    if (dest->buffer.empty()) {
        bool failed = false;
        try {
            dest->buffer.resize(4096);
        } catch (...) {
            failed = true;
        }
        if (failed) ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    }
    dest->pub.init_destination = initDestination;
    dest->pub.empty_output_buffer = emptyOutputBuffer;
    dest->pub.term_destination = termDestination;
    dest->pub.next_output_byte = dest->buffer.data();
    dest->pub.free_in_buffer = dest->buffer.size();
    cinfo->dest = &dest->pub;
}

// ---- compressor ----------------------------------------------------------------------------

namespace {
/// Error manager whose error exit jumps back into the compressing function.
struct JpegErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void errorExit(j_common_ptr cinfo) {
    (*cinfo->err->output_message)(cinfo);
    std::longjmp(reinterpret_cast<JpegErrorManager*>(cinfo->err)->jump, 1);
}

/// Compresses the image into a stdio file (when file is set) or the in-memory destination.
/// rowBuffer holds 3 × width bytes. The library's errors jump back here, so this function holds
/// no object with a destructor.
bool compressJpeg(const _ezImage& image, std::FILE* file, JpegDestination* memory,
                  unsigned char* rowBuffer) {
    jpeg_compress_struct cinfo;
    JpegErrorManager jerr;
    std::memset(&cinfo, 0, sizeof cinfo);
    // The error manager exists before the compressor is created, so that a failure while creating
    // it already has somewhere to jump to.
    cinfo.err = jpeg_std_error(&jerr.pub);
    jerr.pub.error_exit = errorExit;
    if (setjmp(jerr.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_CreateCompress(&cinfo, 62, sizeof(jpeg_compress_struct));
    if (file)
        jpeg_stdio_dest(&cinfo, file);
    else
        jpeg_buffer_dest(&cinfo, memory);

    const int n = image.channels;
    const int width = image.width;
    cinfo.image_width = image.width;
    cinfo.image_height = image.height;
    cinfo.input_components = n < 2 ? 1 : 3;
    cinfo.in_color_space = n < 2 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 95, TRUE);
    jpeg_start_compress(&cinfo, TRUE);

    const size_t bps = image.depth / 8;
    const size_t srcRow = static_cast<size_t>(width) * n * bps;
    // Rows already in the library's layout (8-bit grey or RGB) are handed over as they are.
    const bool direct = bps == 1 && (n == 1 || n == 3);
    for (size_t y = 0; y < image.height; ++y) {
        unsigned char* src = image.data + y * srcRow;
        JSAMPROW row = src;
        if (!direct) {
            const size_t hi = bps - 1;
            if (n == 1 && bps == 2) {
                for (int x = 0; x < width; ++x) rowBuffer[x] = src[2 * x + 1];
            } else if (n == 1) {
                for (int x = 0; x < width; ++x) rowBuffer[x] = src[x * bps + hi];
            } else {
                const size_t step = n * bps;
                unsigned char* dst = rowBuffer;
                for (int x = 0; x < width; ++x, src += step, dst += 3) {
                    dst[0] = src[hi];
                    dst[1] = src[bps + hi];
                    dst[2] = src[2 * bps + hi];
                }
            }
            row = rowBuffer;
        }
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

bool acceptable(const _ezImage& image) {
    const int n = image.channels;
    return (image.depth == 8 || image.depth == 16) && (n == 1 || n == 3 || n == 4) &&
           image.width > 0 && image.height > 0 && image.data;
}
} // namespace

JpegEncoder::JpegEncoder() {
    m_description = "JPEG files (*.jpeg;*.jpg;*.jpe)";
}

std::unique_ptr<BaseImageEncoder> JpegEncoder::clone() const {
    return std::make_unique<JpegEncoder>(*this);
}

bool JpegEncoder::write(const _ezImage& image) {
    if (!acceptable(image)) return false;
    std::vector<unsigned char> rowBuffer(static_cast<size_t>(image.width) * 3);
    AtomicFile out(m_filename);
    if (!out.isCreated()) return false;
    std::FILE* file = std::fopen(out.path().c_str(), "wb");
    if (!file) return false;
    const bool ok = compressJpeg(image, file, nullptr, rowBuffer.data());
    const bool closed = std::fclose(file) == 0;
    return ok && closed && out.commit();
}

bool JpegEncoder::writeToBuffer(const _ezImage& image, std::vector<unsigned char>& output) {
    if (!acceptable(image)) return false;
    std::vector<unsigned char> rowBuffer(static_cast<size_t>(image.width) * 3);
    std::vector<unsigned char> work(4096);
    JpegDestination dest(work, output);
    return compressJpeg(image, nullptr, &dest, rowBuffer.data());
}
