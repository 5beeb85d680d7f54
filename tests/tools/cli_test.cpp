// halvex-cli as a user runs it: commands, help, simulated cameras, files written, and a clear
// message with a distinct exit code for every failure.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "ezImage/ezImage.h"
#include "tests/ReadOnlyDirectory.h"
#include "tests/ezImage/fits_test_util.h"
#include "tests/recording/SerLayout.h"

namespace fs = std::filesystem;

namespace {

struct CliRun {
    int code = -1;
    std::string output; ///< standard output and standard error together
};

/// Runs the tool with the given arguments, without real USB and without simulated cameras
/// from the environment; `wrapper` runs before it (a file-size limit, fewer privileges).
CliRun cli(const std::string& arguments, const std::string& wrapper = "") {
    const std::string command = wrapper + "env -u HALVEX_SIMULATE HALVEX_NO_USB=1 '" + HALVEX_CLI +
                                "' " + arguments + " 2>&1";
    CliRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return run;
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) run.output.append(buf, n);
    const int status = ::pclose(pipe);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

/// A file-size limit of `blocks` 512-byte blocks standing in for a full disk. The shell
/// ignores the signal it sends, as the tool does itself, so each write fails instead of ending
/// the process.
std::string fullDisk(int blocks) {
    return "sh -c 'trap \"\" XFSZ; ulimit -f " + std::to_string(blocks) + "; exec \"$0\" \"$@\"' ";
}

std::vector<unsigned char> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class CliFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("halvex-cli-test-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

} // namespace

TEST(Cli, HelpForEveryCommandAndGuidanceWithoutACamera) {
    for (const char* args : {"--help", "list --help", "capture --help"}) {
        const CliRun r = cli(args);
        EXPECT_EQ(r.code, 0) << args;
        EXPECT_NE(r.output.find("Usage: halvex-cli"), std::string::npos) << args;
    }
    EXPECT_NE(cli("capture --help").output.find("--exposure MS"), std::string::npos);

    // A model the library never takes in is refused by name, with the models that can be.
    for (const char* model : {"VAh131M1", "V3h5MC1"}) {
        const CliRun refused = cli(std::string("--simulate ") + model + " list");
        EXPECT_EQ(refused.code, 1) << model;
        EXPECT_NE(refused.output.find(std::string("'") + model + "': this library does not take"),
                  std::string::npos)
            << refused.output;
        EXPECT_NE(refused.output.find("models that can be simulated: VAh1KC1, VAh500C1"),
                  std::string::npos)
            << refused.output;
    }
    EXPECT_NE(cli("--simulate bogus list").output.find("'bogus' is not a model name"),
              std::string::npos);

    const CliRun bare = cli("");
    EXPECT_EQ(bare.code, 1);
    EXPECT_NE(bare.output.find("--simulate"), std::string::npos);
    const CliRun none = cli("capture");
    EXPECT_EQ(none.code, 2);
    EXPECT_NE(none.output.find("No camera found"), std::string::npos);
}

TEST(Cli, ListShowsSimulatedCamerasWithTheirTables) {
    const CliRun r = cli("--simulate VDo282C1 --simulate 0xF007 list");
    ASSERT_EQ(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("VDo282C1.1"), std::string::npos);
    EXPECT_NE(r.output.find("0547:D001"), std::string::npos);
    EXPECT_NE(r.output.find("0547:F007"), std::string::npos);
    EXPECT_NE(r.output.find("3: 636X472"), std::string::npos);
    EXPECT_NE(r.output.find("bit depths   8, 16"), std::string::npos);
}

TEST_F(CliFiles, CaptureWritesEveryRequestedFileOfEveryFrame) {
    const CliRun r = cli("--simulate VDo282C1 capture --resolution 3 --count 2 --gamma 120 "
                         "--format raw,png,bmp --prefix shot --out '" +
                         dir.string() + "'");
    ASSERT_EQ(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("saved 2/2"), std::string::npos);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"shot-0001.bmp", "shot-0001.png", "shot-0001.raw",
                                               "shot-0002.bmp", "shot-0002.png", "shot-0002.raw"}));

    // The RAW file is the finished colour image of the chosen resolution (636 x 472).
    const auto raw = readFile(dir / "shot-0001.raw");
    ASSERT_GE(raw.size(), sizeof(_ezImage));
    _ezImage head;
    std::memcpy(&head, raw.data(), sizeof head);
    EXPECT_EQ(std::memcmp(head.magic, "QREZ", 4), 0);
    EXPECT_EQ(head.width, 636);
    EXPECT_EQ(head.height, 472);
    EXPECT_EQ(head.channels, 3);
    EXPECT_EQ(head.decoded, 1);
    EXPECT_EQ(head.productId, 0xD001);
    EXPECT_EQ(raw.size(), head.headerSize + size_t{636} * 472 * 3 * head.depth / 8);

    // The PNG says the same size (IHDR, big-endian).
    const auto png = readFile(dir / "shot-0002.png");
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(std::memcmp(png.data(), "\x89PNG", 4), 0);
    auto be32 = [&](size_t at) {
        return (png[at] << 24) | (png[at + 1] << 16) | (png[at + 2] << 8) | png[at + 3];
    };
    EXPECT_EQ(be32(16), 636);
    EXPECT_EQ(be32(20), 472);

    // A second run into the same directory keeps the first run's files.
    const CliRun again = cli("--simulate VDo282C1 capture --count 1 --format png,bmp --prefix shot "
                             "--out '" +
                             dir.string() + "'");
    ASSERT_EQ(again.code, 0) << again.output;
    EXPECT_NE(again.output.find("shot-0001-2"), std::string::npos) << again.output;
    EXPECT_EQ(readFile(dir / "shot-0002.png"), png);
    EXPECT_TRUE(fs::exists(dir / "shot-0001-2.png"));
    EXPECT_TRUE(fs::exists(dir / "shot-0001-2.bmp"));
    EXPECT_FALSE(fs::exists(dir / "shot-0001-2.raw"));
}

TEST_F(CliFiles, FailuresHaveMessagesAndExitCodes) {
    const std::string sim = "--simulate VDo282C1 ";
    struct Case {
        std::string args;
        int code;
        const char* message;
    };
    fs::create_directories(dir);
    std::ofstream(dir / "file") << "x";
    const Case cases[] = {
        {"frobnicate", 1, "unknown command"},
        {sim + "capture --depth 12", 1, "invalid value '12' for --depth"},
        {sim + "capture --count 0", 1, "--count"},
        {sim + "capture --format png,gif", 1, "--format"},
        {sim + "capture --stretch 200,100", 1, "--stretch"},
        {sim + "capture --exposure", 1, "needs a value"},
        {sim + "capture --resolution 9", 1, "this camera takes 0 ... 3"},
        {sim + "capture --gain 5", 1, "this camera takes 188 ... 1023"},
        {sim + "capture --camera Nope.1", 2, "no camera named 'Nope.1'"},
        // Numbers are decimal: a leading zero is no octal prefix, hexadecimal is refused.
        {sim + "capture --resolution 08", 1, "invalid value 8 for --resolution"},
        {sim + "capture --count 0x10", 1, "invalid value '0x10' for --count"},
        {sim + "capture --count ' 2'", 1, "invalid value ' 2' for --count"},
        {sim + "capture --exposure 0x1p3", 1, "invalid value '0x1p3' for --exposure"},
        {sim + "capture --channel-gain 64,064,0x40", 1, "invalid value '64,064,0x40'"},
        {sim + "capture --resolution 3 --depth 16 --out '" + dir.string() + "'", 3,
         "16-bit data is not available at clock 0"},
        {"--simulate NotAModel list", 1, "cannot simulate 'NotAModel'"},
        {sim + "capture --out '" + (dir / "file" / "sub").string() + "'", 4,
         "cannot write to directory"},
    };
    for (const Case& c : cases) {
        const CliRun r = cli(c.args);
        EXPECT_EQ(r.code, c.code) << c.args << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << "\n" << r.output;
    }
    // Nothing was written next to the regular file.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(CliFiles, CountWithALeadingZeroIsDecimal) {
    const CliRun r = cli("--simulate VDo282C1 capture --resolution 03 --count 010 --skip 00 "
                         "--format bmp --out '" +
                         dir.string() + "'");
    ASSERT_EQ(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("saved 10/10"), std::string::npos) << r.output;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 10);
}

TEST_F(CliFiles, CaptureWritesRawSensorFitsAndRecordWritesSer) {
    const CliRun r = cli("--simulate VAh200C1 capture --resolution 2 --format fits,raw --raw "
                         "--frame-type bias --out '" +
                         dir.string() + "'");
    ASSERT_EQ(r.code, 0) << r.output;
    const fs::path fits = dir / "halvex-0001.fits";
    ASSERT_TRUE(fs::exists(fits));
    EXPECT_EQ(hxtest::fitsverifyProblems(fits.string()), "");
    const hxtest::FitsImage f = hxtest::readWithAstropy(fits.string(), nullptr, nullptr, false);
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_EQ(f.key("NAXIS"), "2"); // the mosaic, one sample per pixel
    EXPECT_EQ(f.key("BAYERPAT"), "RGGB");
    EXPECT_EQ(f.key("IMAGETYP"), "Bias Frame");
    EXPECT_EQ(f.key("INSTRUME"), "VAh200C1");
    // The RAW file beside it is the finished image, as before.
    const auto raw = readFile(dir / "halvex-0001.raw");
    ASSERT_GE(raw.size(), sizeof(_ezImage));
    EXPECT_EQ(raw[9], 3); // channels

    EXPECT_EQ(cli("--simulate VAh200C1 capture --raw --out '" + dir.string() + "'").code, 1);
    EXPECT_EQ(cli("--simulate VAh200C1 capture --frame-type night").code, 1);
    EXPECT_EQ(cli("--simulate VAh200C1 record --processed").code, 1);
    EXPECT_EQ(cli("--simulate VAh200C1 record --format avi").code, 1);

    const CliRun rec = cli("--simulate VAh200C1 record --format ser --frames 3 --seconds 60 "
                           "--out '" +
                           dir.string() + "'");
    ASSERT_EQ(rec.code, 0) << rec.output;
    const std::string path = rec.output.substr(0, rec.output.find('\n'));
    EXPECT_EQ(fs::path(path).extension(), ".ser");
    long long written = -1, dropped = -1;
    int width = 0, height = 0, depth = 0;
    char layout[16] = {};
    ASSERT_EQ(std::sscanf(rec.output.c_str() + path.size() + 1,
                          "%dx%d, %d-bit %15[^,], %lld frames written, %lld frames dropped", &width,
                          &height, &depth, layout, &written, &dropped),
              6)
        << rec.output;
    EXPECT_EQ(std::string(layout), "Bayer");
    EXPECT_EQ(written + dropped, 3);
    const auto ser = readFile(path);
    ASSERT_GE(ser.size(), 178u);
    EXPECT_EQ(std::memcmp(ser.data(), "LUCAM-RECORDER", 14), 0);
    auto le32 = [&](size_t at) {
        return ser[at] | (ser[at + 1] << 8) | (ser[at + 2] << 16) | (ser[at + 3] << 24);
    };
    EXPECT_EQ(le32(18), 8); // RGGB
    EXPECT_EQ(le32(26), width);
    EXPECT_EQ(le32(30), height);
    const int frames = le32(38);
    EXPECT_EQ(frames, written);
    EXPECT_EQ(ser.size(),
              178u + static_cast<size_t>(frames) * width * height * (depth / 8) + 8u * frames);
}

TEST_F(CliFiles, AFullDiskIsReportedAndLeavesNoPartialFile) {
    fs::create_directories(dir);
    const CliRun r = cli(
        "--simulate VDo282C1 capture --format raw,jpg --out '" + dir.string() + "'", fullDisk(64));
    EXPECT_EQ(r.code, 4) << r.output;
    EXPECT_NE(r.output.find("could not write every file"), std::string::npos) << r.output;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(name.find(".hxsave-"), std::string::npos) << name;
        EXPECT_NE(entry.path().extension(), ".raw") << name; // the RAW frame does not fit
    }
}

TEST_F(CliFiles, FitsAndSerThatCannotBeWrittenAreReportedAndEarlierFilesStay) {
    const std::string out = " --out '" + dir.string() + "'";
    const std::string capture = "--simulate VAh200C1 capture --resolution 2 --format fits";
    ASSERT_EQ(cli(capture + out).code, 0);
    const fs::path earlier = dir / "halvex-0001.fits";
    const auto earlierBytes = readFile(earlier);
    ASSERT_GT(earlierBytes.size(), 64u * 512);
    const auto onlyTheEarlierFile = [&] {
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
        EXPECT_EQ(readFile(earlier), earlierBytes);
    };
    // A full disk and an unwritable directory, for the finished image and the sensor samples.
    for (const std::string raw : {"", " --raw"}) {
        SCOPED_TRACE(raw);
        CliRun r = cli(capture + raw + out, fullDisk(8));
        EXPECT_EQ(r.code, 4) << r.output;
        EXPECT_NE(r.output.find("could not write every file"), std::string::npos) << r.output;
        onlyTheEarlierFile();
        {
            hxtest::ReadOnlyDirectory readOnly(dir);
            r = cli(capture + raw + out, hxtest::ReadOnlyDirectory::unprivilegedPrefix());
        }
        EXPECT_EQ(r.code, 4) << r.output;
        EXPECT_NE(r.output.find("cannot write to directory"), std::string::npos) << r.output;
        onlyTheEarlierFile();
    }

    // A SER recording the disk cuts off keeps its whole frames, counted in its header; the
    // failure is reported.
    const std::string record = "--simulate VAh200C1 record --format ser --seconds 60 --frames ";
    const fs::path serDir = dir / "ser";
    fs::create_directories(serDir);
    const std::string serOut = " --out '" + serDir.string() + "'";
    const CliRun one = cli(record + "1" + serOut);
    ASSERT_EQ(one.code, 0) << one.output;
    const std::string firstPath = one.output.substr(0, one.output.find('\n'));
    const hxtest::SerFile first = hxtest::readSer(firstPath);
    ASSERT_TRUE(first.ok && first.frames == 1) << one.output;
    const size_t frameBytes = first.frameBytes;
    const int blocks = static_cast<int>((178 + frameBytes * 5 / 2) / 512);
    const CliRun cut = cli(record + "5" + serOut, fullDisk(blocks));
    EXPECT_EQ(cut.code, 4) << cut.output;
    EXPECT_NE(cut.output.find("cannot write"), std::string::npos) << cut.output;
    // The file's name is the line of its own among the messages.
    std::string path;
    std::istringstream lines(cut.output);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind('/', 0) == 0 && fs::path(line).extension() == ".ser") path = line;
    ASSERT_NE(path, firstPath);
    long long written = -1;
    const size_t counts = cut.output.find("-bit ");
    ASSERT_NE(counts, std::string::npos) << cut.output;
    ASSERT_EQ(std::sscanf(cut.output.c_str() + cut.output.find(", ", counts) + 2,
                          "%lld frames written", &written),
              1)
        << cut.output;
    const hxtest::SerFile f = hxtest::readSer(path);
    ASSERT_TRUE(f.ok) << cut.output;
    EXPECT_EQ(f.frames, written);
    EXPECT_GE(f.frames, 1);
    EXPECT_LE(f.frames, 2);
    EXPECT_EQ(fs::file_size(path), 178 + frameBytes * static_cast<size_t>(f.frames));
    // Into a directory that cannot be written nothing is recorded, and the earlier
    // recordings stay.
    const auto firstBytes = readFile(firstPath);
    CliRun refused;
    {
        hxtest::ReadOnlyDirectory readOnly(serDir);
        refused = cli(record + "2" + serOut, hxtest::ReadOnlyDirectory::unprivilegedPrefix());
    }
    EXPECT_EQ(refused.code, 4) << refused.output;
    EXPECT_NE(refused.output.find("cannot write to directory"), std::string::npos)
        << refused.output;
    EXPECT_EQ(std::distance(fs::directory_iterator(serDir), fs::directory_iterator()), 2);
    EXPECT_EQ(readFile(firstPath), firstBytes);
}
