// PNG writer: Sub filter, zlib level 1 with Huffman-only coding, for speed on large frames.
#include "ezImage/grfmt_png.h"

#include <png.h>

#include <cstdio>
#include <vector>

PngEncoder::PngEncoder() {
    m_description = "Portable Network Graphics files (*.png)";
}

std::unique_ptr<BaseImageEncoder> PngEncoder::clone() const {
    return std::make_unique<PngEncoder>(*this);
}

bool PngEncoder::isFormatSupported(int depth) const {
    return depth == 8 || depth == 16;
}

namespace {
/// Runs libpng over the given rows into a new file at path. libpng reports errors by a long jump
/// back here, so this function holds no object with a destructor.
bool encodePng(const char* path, const _ezImage& image, png_bytep* rows) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    std::FILE* file = std::fopen(path, "wb");
    if (!file) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_set_compression_level(png, 1);
    png_set_compression_strategy(png, 2); // Huffman-only coding
    const int colorType = image.channels == 1   ? PNG_COLOR_TYPE_GRAY
                          : image.channels == 3 ? PNG_COLOR_TYPE_RGB
                                                : PNG_COLOR_TYPE_RGB_ALPHA;
    png_set_IHDR(png, info, image.width, image.height, image.depth, colorType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    // Samples are already red, green, blue; 16-bit samples are little-endian in memory and
    // big-endian in the file.
    png_set_swap(png);
    png_write_image(png, rows);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0;
}
} // namespace

/// Hands libpng row pointers into the image itself: libpng copies each row before transforming
/// it, so no copy of the image is made here.
bool PngEncoder::write(const _ezImage& image) {
    const int n = image.channels;
    if (image.depth != 8 && image.depth != 16) return false;
    if ((n != 1 && n != 3 && n != 4) || image.width == 0 || image.height == 0 || !image.data)
        return false;

    const size_t rowBytes = ezRowBytes(image);
    std::vector<png_bytep> rows(image.height);
    for (size_t y = 0; y < rows.size(); ++y) rows[y] = image.data + y * rowBytes;

    AtomicFile file(m_filename);
    if (!file.isCreated()) return false;
    if (!encodePng(file.path().c_str(), image, rows.data())) return false;
    return file.commit();
}
