// PNG and JPEG writers, read back through libpng and libjpeg.
#include <gtest/gtest.h>

#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ezImage/grfmt_jpeg.h"
#include "ezimage_test_util.h"

using hxtest::readFile;
using hxtest::RegistryTest;
using hxtest::sampleAt;

namespace {
struct Decoded {
    int width = 0, height = 0, depth = 0, components = 0, colorType = -1;
    std::vector<int> samples; // row-major, components per pixel
};

/// Reads a PNG with the low-level reader, which keeps the stored bit depth and byte order.
/// libpng errors jump back here: the function holds no object with a destructor.
bool decodePng(std::FILE* f, Decoded& d) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_init_io(png, f);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    d.width = static_cast<int>(png_get_image_width(png, info));
    d.height = static_cast<int>(png_get_image_height(png, info));
    d.depth = png_get_bit_depth(png, info);
    d.colorType = png_get_color_type(png, info);
    d.components = png_get_channels(png, info);
    png_bytepp rows = png_get_rows(png, info);
    for (int y = 0; y < d.height; ++y)
        for (int i = 0; i < d.width * d.components; ++i)
            d.samples.push_back(d.depth == 8 ? rows[y][i]
                                             : rows[y][2 * i] << 8 | rows[y][2 * i + 1]);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

Decoded readPng(const std::string& path) {
    Decoded d;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return d;
    if (!decodePng(f, d)) d = Decoded{};
    std::fclose(f);
    return d;
}

Decoded decodeJpeg(const std::vector<unsigned char>& bytes) {
    Decoded d;
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, bytes.data(), bytes.size());
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) return d;
    d.components = cinfo.num_components;
    d.colorType = cinfo.jpeg_color_space;
    jpeg_start_decompress(&cinfo);
    d.width = static_cast<int>(cinfo.output_width);
    d.height = static_cast<int>(cinfo.output_height);
    d.depth = 8;
    std::vector<unsigned char> row(cinfo.output_width * cinfo.output_components);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW r = row.data();
        jpeg_read_scanlines(&cinfo, &r, 1);
        d.samples.insert(d.samples.end(), row.begin(), row.end());
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return d;
}
} // namespace

TEST_F(RegistryTest, PngKeepsDepthChannelsAndSampleOrder) {
    for (int depth : {8, 16})
        for (int channels : {1, 3, 4}) {
            SCOPED_TRACE(testing::Message() << depth << "-bit, " << channels << " channels");
            hxtest::ImagePtr im = hxtest::patternImage(37, 11, depth, channels);
            const std::string path = dir.file("p.png");
            ASSERT_TRUE(ezSaveImage(path, im.get()));
            const Decoded d = readPng(path);
            EXPECT_EQ(d.width, 37);
            EXPECT_EQ(d.height, 11);
            EXPECT_EQ(d.depth, depth);
            EXPECT_EQ(d.colorType, channels == 1   ? PNG_COLOR_TYPE_GRAY
                                   : channels == 3 ? PNG_COLOR_TYPE_RGB
                                                   : PNG_COLOR_TYPE_RGB_ALPHA);
            ASSERT_EQ(d.samples.size(), 37u * 11 * channels);
            for (int y = 0, i = 0; y < 11; ++y)
                for (int x = 0; x < 37; ++x)
                    for (int c = 0; c < channels; ++c, ++i)
                        ASSERT_EQ(d.samples[i], sampleAt(*im, x, y, c))
                            << x << "," << y << "," << c;
        }
}

TEST_F(RegistryTest, JpegMatchesTheImageWithinTolerance) {
    // Quality 95 on a smooth scene: every sample within 12 levels, mean error below 1.5.
    for (int depth : {8, 16})
        for (int channels : {1, 3, 4}) {
            SCOPED_TRACE(testing::Message() << depth << "-bit, " << channels << " channels");
            hxtest::ImagePtr im = hxtest::smoothImage(96, 64, depth, channels);
            const std::string path = dir.file("j.jpg");
            ASSERT_TRUE(ezSaveImage(path, im.get()));
            const Decoded d = decodeJpeg(readFile(path));
            EXPECT_EQ(d.width, 96);
            EXPECT_EQ(d.height, 64);
            const int components = channels == 1 ? 1 : 3;
            EXPECT_EQ(d.components, components);
            EXPECT_EQ(d.colorType, channels == 1 ? JCS_GRAYSCALE : JCS_YCbCr);
            ASSERT_EQ(d.samples.size(), 96u * 64 * components);
            long total = 0;
            int worst = 0;
            for (int y = 0, i = 0; y < 64; ++y)
                for (int x = 0; x < 96; ++x)
                    for (int c = 0; c < components; ++c, ++i) {
                        int expect = sampleAt(*im, x, y, c);
                        if (depth == 16) expect >>= 8;
                        const int err = std::abs(d.samples[i] - expect);
                        total += err;
                        worst = std::max(worst, err);
                    }
            EXPECT_LE(worst, 12);
            EXPECT_LT(static_cast<double>(total) / d.samples.size(), 1.5);
        }
}

TEST_F(RegistryTest, JpegFileEqualsTheSameImageCompressedToMemory) {
    for (int channels : {1, 3}) {
        hxtest::ImagePtr im = hxtest::smoothImage(300, 200, 16, channels);
        const std::string path = dir.file("m.jpeg");
        ASSERT_TRUE(ezSaveImage(path, im.get()));
        JpegEncoder encoder;
        std::vector<unsigned char> memory = {0xAA}; // appended to, not replaced
        ASSERT_TRUE(encoder.writeToBuffer(*im, memory));
        const auto file = readFile(path);
        ASSERT_EQ(memory.size(), file.size() + 1);
        EXPECT_TRUE(std::equal(file.begin(), file.end(), memory.begin() + 1));
    }
}

namespace {
/// Compresses an 8 × 8 grey ramp at quality 95 through the in-memory destination; records whether
/// anything reached the output before termination.
std::vector<unsigned char> compressRamp(size_t workSize, bool& earlyOutput) {
    std::vector<unsigned char> work(workSize), out;
    JpegDestination dest(work, out);
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    jpeg_buffer_dest(&cinfo, &dest);
    cinfo.image_width = 8;
    cinfo.image_height = 8;
    cinfo.input_components = 1;
    cinfo.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 95, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    unsigned char pixels[8] = {0, 32, 64, 96, 128, 160, 192, 224};
    for (int y = 0; y < 8; ++y) {
        JSAMPROW row = pixels;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    earlyOutput = !out.empty();
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return out;
}
} // namespace

TEST(JpegBufferDest, SmallStreamsArriveOnlyAtTermination) {
    bool early = true;
    const auto big = compressRamp(1 << 16, early);
    EXPECT_FALSE(early);
    ASSERT_GT(big.size(), 100u);
    EXPECT_EQ(big[0], 0xFF);
    EXPECT_EQ(big[1], 0xD8);
    EXPECT_EQ(big[big.size() - 1], 0xD9);

    // A 16-byte work buffer is emptied many times, an empty one is given a size: same stream.
    EXPECT_EQ(compressRamp(16, early), big);
    EXPECT_TRUE(early);
    EXPECT_EQ(compressRamp(0, early), big);
}
