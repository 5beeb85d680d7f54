// halvex-cli record: the movie it names is there and holds the frames it reports.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "MovieReader.h"
#include "recording/ezRecorder.h"

#ifdef HALVEX_CLI

namespace fs = std::filesystem;

namespace {

/// Runs a command with real USB left alone; returns the exit code and standard output.
int run(const std::string& arguments, std::string& out) {
    const std::string command = std::string("HALVEX_NO_USB=1 HALVEX_SIMULATE= ") + HALVEX_CLI +
                                " " + arguments + " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buffer[256];
    out.clear();
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(CliRecord, RecordsTheNamedMovieAndReportsItsFrames) {
    const fs::path dir =
        fs::temp_directory_path() / ("halvex-cli-movie-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string out;
    ASSERT_EQ(
        run("--simulate VAh200C1 record --frames 6 --fps 20 --seconds 60 --out " + dir.string(),
            out),
        0)
        << out;
    const std::string path = out.substr(0, out.find('\n'));
    EXPECT_EQ(fs::path(path).parent_path(), dir);
    const std::string summary = out.substr(out.find('\n') + 1);
    int width = 0, height = 0, fps = 0;
    long long written = -1, dropped = -1;
    ASSERT_EQ(std::sscanf(summary.c_str(),
                          "%dx%d, %d fps, %lld frames written, %lld frames dropped", &width,
                          &height, &fps, &written, &dropped),
              5)
        << out;
    EXPECT_EQ(fps, 20);
    EXPECT_EQ(written + dropped, 6);
    const MovieInfo m = readMovie(path);
    ASSERT_TRUE(m.opened) << path;
    EXPECT_EQ(m.width, width);
    EXPECT_EQ(m.height, height);
    EXPECT_EQ(static_cast<long long>(m.pts.size()), written);
    EXPECT_LE(m.pts.size(), 6u); // the live recorder drops rather than slow the view
    EXPECT_GE(m.pts.size(), 1u);

    // A movie of the same second (here: a name taken beforehand) is not replaced.
    const std::time_t now = std::time(nullptr);
    for (int s = 0; s < 30; ++s)
        std::ofstream(hx::recording::ezRecorder::moviePath(dir.string() + "/", now + s))
            << "earlier";
    ASSERT_EQ(run("--simulate VAh200C1 record --frames 3 --fps 20 --out " + dir.string(), out), 0)
        << out;
    const std::string second = out.substr(0, out.find('\n'));
    EXPECT_NE(second.find("-2.mov"), std::string::npos) << second;
    EXPECT_TRUE(readMovie(second).opened) << second;
    std::ifstream earlier(second.substr(0, second.size() - 6) + ".mov");
    std::string text;
    earlier >> text;
    EXPECT_EQ(text, "earlier");

    // A directory that cannot be made is a file error, and no camera is a camera error.
    EXPECT_EQ(run("--simulate VAh200C1 record --frames 1 --out /proc/halvex-no", out), 4);
    EXPECT_EQ(run("record --frames 1 --out " + dir.string(), out), 2);
    std::error_code ec;
    fs::remove_all(dir, ec);
}

#endif // HALVEX_CLI
