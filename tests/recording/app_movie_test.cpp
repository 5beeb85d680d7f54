// The capture application's movie button on a simulated camera, movies read back with FFmpeg.
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QStatusBar>

#include <filesystem>
#include <string>
#include <vector>

#include <ctime>
#include <fstream>

#include "MovieReader.h"
#include "recording/ezRecorder.h"
#include "tests/app/AppFixture.h"

namespace {

std::vector<std::string> movieFiles(const std::filesystem::path& dir) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.path().extension() == ".mov") files.push_back(entry.path().string());
    return files;
}

/// Puts a placeholder under every movie name of the coming half minute, so that a movie
/// started now meets a name in use, as two movies started within one second do.
void takeMovieNames(const std::filesystem::path& dir) {
    const std::time_t now = std::time(nullptr);
    for (int s = 0; s < 30; ++s)
        std::ofstream(hx::recording::ezRecorder::moviePath(dir.string() + "/", now + s))
            << "earlier";
}

int placeholdersKept(const std::filesystem::path& dir) {
    int kept = 0;
    for (const std::string& file : movieFiles(dir)) {
        std::ifstream in(file);
        std::string text;
        in >> text;
        if (text == "earlier") ++kept;
    }
    return kept;
}

} // namespace

TEST_F(AppTest, MovieButtonRecordsTheLiveViewAtTheCamerasResolution) {
    start({"VAh200C1"});
    app_->txtPath->setText(shots());
    startLive();
    // Let the show thread measure the frame rate first.
    ASSERT_TRUE(waitFor([&] { return app_->dustm > 0; }));
    app_->btnAcquieMovie();
    EXPECT_EQ(app_->btnMovie->text(), "Stop Video");
    EXPECT_TRUE(app_->bSaveVideo);
    const int64_t after = app_->framesShown + 5;
    ASSERT_TRUE(waitFor([&] { return app_->framesShown > after; }));
    app_->btnAcquieMovie();
    EXPECT_EQ(app_->btnMovie->text(), "Start Video");
    EXPECT_FALSE(app_->bSaveVideo);
    stopLive();

    const auto files = movieFiles(dir_ / "shots");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(std::filesystem::path(files[0]).filename().string().size(), 14u);
    const char* n = app_->camName->c_str();
    const int index = GetResolution(n);
    const MovieInfo m = readMovie(files[0]);
    ASSERT_TRUE(m.opened);
    EXPECT_EQ(m.codec, AV_CODEC_ID_H264);
    EXPECT_EQ(m.width, GetResWidth(index, n));
    EXPECT_EQ(m.height, GetResHeight(index, n));
    EXPECT_GE(m.pts.size(), 1u);
    EXPECT_EQ(m.decodeErrors, 0);
}

TEST_F(AppTest, MovieIntoAMissingDirectoryMakesItAndOneThatCannotBeWrittenSaysSo) {
    start({"VAh200C1"});
    // A directory that is not there yet is made, as a capture makes it.
    app_->txtPath->setText(shots() + "missing/");
    app_->btnAcquieMovie();
    EXPECT_EQ(app_->btnMovie->text(), "Stop Video");
    ASSERT_TRUE(app_->bSaveVideo);
    app_->btnAcquieMovie();
    EXPECT_EQ(movieFiles(dir_ / "shots" / "missing").size(), 1u);
    EXPECT_TRUE(app_->window()->statusBar()->currentMessage().isEmpty());

    // Below a regular file no directory can be made: the window says so, the button stays.
    std::ofstream(dir_ / "shots" / "file") << "x";
    app_->txtPath->setText(shots() + "file/sub/");
    app_->btnAcquieMovie();
    EXPECT_EQ(app_->btnMovie->text(), "Start Video");
    EXPECT_FALSE(app_->bSaveVideo);
    const QString message = app_->window()->statusBar()->currentMessage();
    EXPECT_TRUE(message.startsWith("The movie " + shots() + "file/sub/")) << message.toStdString();
    EXPECT_TRUE(message.endsWith("cannot be written")) << message.toStdString();
    EXPECT_TRUE(movieFiles(dir_ / "shots").empty());
}

TEST_F(AppTest, QuittingWhileRecordingCompletesTheMovie) {
    start({"VAh200C1"});
    app_->txtPath->setText(shots());
    startLive();
    app_->btnAcquieMovie();
    ASSERT_TRUE(app_->bSaveVideo);
    const int64_t after = app_->framesShown + 3;
    ASSERT_TRUE(waitFor([&] { return app_->framesShown > after; }));
    app_->applicationShouldTerminate();
    app_.reset(); // quitting, the movie still open
    const auto files = movieFiles(dir_ / "shots");
    ASSERT_EQ(files.size(), 1u);
    const MovieInfo m = readMovie(files[0]);
    ASSERT_TRUE(m.opened);
    EXPECT_GE(m.pts.size(), 1u);
    EXPECT_EQ(m.decodeErrors, 0);
}

TEST_F(AppTest, MoviesStartedWithinOneSecondGetTheirOwnFiles) {
    start({"VAh200C1"});
    app_->txtPath->setText(shots());
    takeMovieNames(dir_ / "shots");
    startLive();
    for (int movie = 0; movie < 2; ++movie) {
        app_->btnAcquieMovie();
        ASSERT_TRUE(app_->bSaveVideo) << movie;
        const int64_t after = app_->framesShown + 2;
        ASSERT_TRUE(waitFor([&] { return app_->framesShown > after; }));
        app_->btnAcquieMovie();
        ASSERT_FALSE(app_->bSaveVideo);
    }
    stopLive();
    EXPECT_EQ(placeholdersKept(dir_ / "shots"), 30);
    const auto files = movieFiles(dir_ / "shots");
    ASSERT_EQ(files.size(), 32u);
    int movies = 0;
    for (const std::string& file : files) {
        if (file.find("-2.mov") == std::string::npos && file.find("-3.mov") == std::string::npos)
            continue;
        ++movies;
        EXPECT_TRUE(readMovie(file).opened) << file;
    }
    EXPECT_EQ(movies, 2);
}
