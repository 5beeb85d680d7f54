// Recordings that are cut off: Ctrl-C to halvex-cli record and SIGTERM to the capture
// application end them cleanly; a capture application killed outright still leaves a movie
// that plays up to its last second. Every movie is read back with libavformat.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "MovieReader.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

/// A program started with its own environment additions; killed if a test leaves it running.
class Child {
public:
    Child(const std::vector<std::string>& args, const std::vector<std::string>& environment) {
        std::vector<std::string> env = environment;
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        std::vector<char*> argv, envp;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool running() const { return pid_ > 0; }
    void signal(int number) const { ::kill(pid_, number); }
    /// Waits at most `ms` for the program to end; its wait status, or -1 if it did not end.
    int wait(int ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
};

/// The one movie in a directory, once it plays with at least `frames` frames; empty if none
/// did within `ms`.
std::string playableMovie(const fs::path& dir, size_t frames, int ms = 30000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir, ec))
            if (entry.path().extension() == ".mov" && readMovie(entry.path()).pts.size() >= frames)
                return entry.path().string();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return {};
}

class InterruptTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("halvex-interrupt-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "Desktop");
        fs::create_directories(dir_ / "Documents");
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    /// The capture application, recording its live view from the start, with its own home.
    Child application() const {
        return Child({HALVEX_CAPTURE, "--simulate", "VAh200C1", "--live", "--record"},
                     {"HOME=" + dir_.string(), "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
                      "QT_QPA_PLATFORM=offscreen", "HALVEX_NO_USB=1", "HALVEX_SIMULATE="});
    }
    fs::path dir_;
};

} // namespace

#ifdef HALVEX_CLI
TEST_F(InterruptTest, CtrlCEndsAnHourLongCliRecordingWithAMovieThatPlays) {
    Child cli({HALVEX_CLI, "--simulate", "VAh200C1", "record", "--seconds", "3600", "--fps", "10",
               "--out", dir_.string()},
              {"HALVEX_NO_USB=1", "HALVEX_SIMULATE="});
    ASSERT_TRUE(cli.running());
    const std::string seen = playableMovie(dir_, 5);
    ASSERT_FALSE(seen.empty());
    cli.signal(SIGINT);
    const int status = cli.wait(20000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const MovieInfo m = readMovie(seen);
    ASSERT_TRUE(m.opened);
    EXPECT_GE(m.pts.size(), 5u);
    EXPECT_EQ(m.decodeErrors, 0);
}

TEST_F(InterruptTest, CtrlCEndsALongCliCaptureKeepingTheFilesSaved) {
    Child cli({HALVEX_CLI, "--simulate", "VDo282C1", "capture", "--resolution", "3", "--count",
               "1000000", "--format", "bmp", "--out", dir_.string()},
              {"HALVEX_NO_USB=1", "HALVEX_SIMULATE="});
    ASSERT_TRUE(cli.running());
    const auto files = [&] {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(dir_))
            if (entry.path().extension() == ".bmp") found.push_back(entry.path());
        return found;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (files().size() < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GE(files().size(), 3u);
    cli.signal(SIGINT);
    const int status = cli.wait(20000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
    const size_t size = fs::file_size(dir_ / "halvex-0001.bmp");
    EXPECT_GT(size, 636u * 472u * 3u);
    for (const fs::path& file : files()) EXPECT_EQ(fs::file_size(file), size) << file;
}
#endif

#ifdef HALVEX_CAPTURE
TEST_F(InterruptTest, KilledApplicationLeavesAMovieThatPlaysUpToItsLastSecond) {
    Child app = application();
    ASSERT_TRUE(app.running());
    // Frames of more than one fragment are in the file while the application still records.
    const std::string seen = playableMovie(dir_ / "Desktop", 12);
    ASSERT_FALSE(seen.empty());
    app.signal(SIGKILL);
    const int status = app.wait(20000);
    ASSERT_TRUE(WIFSIGNALED(status));
    const MovieInfo m = readMovie(seen);
    ASSERT_TRUE(m.opened);
    EXPECT_GE(m.pts.size(), 12u);
    EXPECT_EQ(m.codec, AV_CODEC_ID_H264);
}

TEST_F(InterruptTest, TermEndsTheApplicationWithMovieSettingsAndParametersWritten) {
    Child app = application();
    ASSERT_TRUE(app.running());
    const std::string seen = playableMovie(dir_ / "Desktop", 3);
    ASSERT_FALSE(seen.empty());
    app.signal(SIGTERM);
    const int status = app.wait(20000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(fs::exists(dir_ / "Documents" / "PhotosPath.txt"));
    // The camera's parameter set, written as it is released.
    int parameterFiles = 0;
    for (const auto& entry : fs::directory_iterator(dir_ / "Documents"))
        if (entry.path().filename() != "PhotosPath.txt") ++parameterFiles;
    EXPECT_GT(parameterFiles, 0);
    const MovieInfo m = readMovie(seen);
    ASSERT_TRUE(m.opened);
    EXPECT_GE(m.pts.size(), 3u);
    EXPECT_EQ(m.decodeErrors, 0);
}
#endif
