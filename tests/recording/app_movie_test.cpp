// The capture application's movie button on a simulated camera, movies read back with FFmpeg.
#include <QLineEdit>
#include <QPushButton>

#include <filesystem>
#include <string>
#include <vector>

#include "MovieReader.h"
#include "tests/app/AppFixture.h"

namespace {

std::vector<std::string> movieFiles(const std::filesystem::path& dir) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.path().extension() == ".mov") files.push_back(entry.path().string());
    return files;
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

TEST_F(AppTest, MovieThatCannotBeWrittenKeepsTheButton) {
    start({"VAh200C1"});
    app_->txtPath->setText(shots() + "missing/");
    app_->btnAcquieMovie();
    EXPECT_EQ(app_->btnMovie->text(), "Start Video");
    EXPECT_FALSE(app_->bSaveVideo);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "shots" / "missing"));
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
