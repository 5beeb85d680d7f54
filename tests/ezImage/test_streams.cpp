// Buffered byte streams: block flushing, little-endian words, reads across blocks and past the end.
#include <gtest/gtest.h>

#include "ezImage/bitstrm.h"
#include "ezimage_test_util.h"

using hxtest::readFile;
using hxtest::ScratchDir;
using hxtest::writeFile;

TEST(WBaseStream, FlushesExactlyAtBlockSizeAndWritesLittleEndian) {
    ScratchDir dir;
    const std::string path = dir.file("w.bin");
    WBaseStream out;
    ASSERT_TRUE(out.open(path));
    std::vector<unsigned char> block(32766, 0xAB);
    out.putBytes(block.data(), static_cast<int>(block.size()));
    out.putWord(0x1234); // fills the block to exactly 32768 bytes: flushed
    EXPECT_EQ(out.getPos(), 32768);
    EXPECT_EQ(std::filesystem::file_size(path), 32768u);
    out.putDWord(static_cast<int>(0xDEADBEEF));
    out.putByte(0x1FF); // only the low byte
    EXPECT_EQ(out.getPos(), 32773);
    out.close();
    EXPECT_FALSE(out.hasError());
    const auto bytes = readFile(path);
    ASSERT_EQ(bytes.size(), 32773u);
    EXPECT_EQ(bytes[32766], 0x34);
    EXPECT_EQ(bytes[32767], 0x12);
    EXPECT_EQ(hxtest::le32(bytes, 32768), 0xDEADBEEFu);
    EXPECT_EQ(bytes[32772], 0xFF);
    EXPECT_FALSE(out.open(dir.file("missing/x.bin")));
}

TEST(RBaseStream, ReadsWordsAcrossBlocksAndSeeks) {
    ScratchDir dir;
    const std::string path = dir.file("r.bin");
    std::vector<unsigned char> data(70000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 31 + (i >> 8));
    data[0] = 0x34;
    data[1] = 0x12;
    writeFile(path, data);

    RBaseStream in;
    EXPECT_FALSE(in.open(dir.file("nope.bin")));
    EXPECT_FALSE(in.isOpened());
    ASSERT_TRUE(in.open(path));
    EXPECT_EQ(in.getWord(), 0x1234);

    // A double word straddling the first block boundary.
    in.setPos(32766);
    const unsigned expect = data[32766] | data[32767] << 8 | data[32768] << 16 | data[32769] << 24;
    EXPECT_EQ(static_cast<unsigned>(in.getDWord()), expect);
    EXPECT_EQ(in.getPos(), 32770);

    // Jumping back into an earlier block must not return bytes of the loaded one.
    in.setPos(100);
    EXPECT_EQ(in.getByte(), data[100]);
    in.setPos(65600);
    EXPECT_EQ(in.getByte(), data[65600]);
    in.skip(40000); // across a block boundary and past the end
    EXPECT_EQ(in.getPos(), 65601 + 40000);

    // A bulk read over two block boundaries.
    std::vector<unsigned char> got(66000);
    in.setPos(1000);
    EXPECT_EQ(in.getBytes(got.data(), 66000), 66000);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin() + 1000));
}

TEST(RBaseStream, ReadsPastTheEndStayInsideTheBuffer) {
    ScratchDir dir;
    const std::string path = dir.file("short.bin");
    writeFile(path, {1, 2, 3});
    RBaseStream in;
    ASSERT_TRUE(in.open(path));
    std::vector<unsigned char> got(100000, 0xEE);
    EXPECT_EQ(in.getBytes(got.data(), 100000), 3);
    EXPECT_EQ(got[2], 3);
    EXPECT_EQ(got[3], 0xEE);
    in.getDWord(); // past the end: any value, no fault
    in.setPos(1 << 30);
    EXPECT_EQ(in.getBytes(got.data(), 10), 0);
    in.getWord();
    in.close();
    EXPECT_FALSE(in.isOpened());
}

using StreamDeathTest = ::testing::Test;

TEST(StreamDeathTest, PreconditionFailuresStopWithTheCondition) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            RBaseStream in;
            in.getPos();
        },
        "bitstrm: getPos: assertion \"isOpened\\(\\)\" failed");
    EXPECT_DEATH(
        {
            RBaseStream in;
            in.setPos(0);
        },
        "bitstrm: setPos: assertion \"isOpened\\(\\) && pos >= 0\" failed");
    EXPECT_DEATH(
        {
            WBaseStream out;
            out.putBytes(nullptr, 1);
        },
        "bitstrm: putBytes: assertion \"data && m_current && count >= 0\" failed");
}
