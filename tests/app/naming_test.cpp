// Snapshot and movie names: an earlier file, from this run or an earlier one, is never
// replaced; the new one gets -2, -3, ... before its extension.
#include <QDateTime>
#include <QDir>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QStatusBar>

#include <fstream>
#include <iterator>

#include "AppFixture.h"
#include "app/PropertyList.h"
#include "ezImage/FreeFileName.h"

namespace fs = std::filesystem;

namespace {

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

QStringList filesIn(const fs::path& dir) {
    return QDir(QString::fromStdString(dir.string())).entryList(QDir::Files, QDir::Name);
}

} // namespace

TEST(FreeFileName, KeepsAFreeNameAndNumbersTakenOnesBeforeTheExtension) {
    const fs::path dir = fs::temp_directory_path() / ("halvex-names-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "sub.d");
    const std::string base = (dir / "Halvex1").string();
    EXPECT_EQ(hx::files::freeSnapshotStem(base, 8 | 4), base);
    std::ofstream(base + ".png") << "x";
    // One taken extension of the set moves the whole set on, so its files stay together.
    EXPECT_EQ(hx::files::freeSnapshotStem(base, 8 | 4), base + "-2");
    EXPECT_EQ(hx::files::freeSnapshotStem(base, 8), base);
    std::ofstream(base + "-2.jpg") << "x";
    EXPECT_EQ(hx::files::freeSnapshotStem(base, 8 | 4), base + "-3");
    EXPECT_EQ(hx::files::freeSnapshotStem(base, 0), base);

    const std::string movie = (dir / "0615143055.mov").string();
    EXPECT_EQ(hx::files::freeFileName(movie), movie);
    std::ofstream(movie) << "x";
    EXPECT_EQ(hx::files::freeFileName(movie), (dir / "0615143055-2.mov").string());
    // A dot in a directory name is no extension; a name without one is numbered at its end.
    const std::string plain = (dir / "sub.d" / "movie").string();
    std::ofstream(plain) << "x";
    EXPECT_EQ(hx::files::freeFileName(plain), plain + "-2");
    // A dangling link is taken: writing through it would create a file elsewhere.
    fs::create_symlink(dir / "nowhere", dir / "link.mov");
    EXPECT_EQ(hx::files::freeFileName((dir / "link.mov").string()), (dir / "link-2.mov").string());
    fs::remove_all(dir);
}

TEST_F(AppTest, SeriesAfterARestartAndShotsWithinOneSecondReplaceNoFile) {
    start({"VAh200C1"});
    app_->txtPath->setText(shots());
    const auto series = [&](int n) {
        app_->intCnt->setText(QString::number(n));
        app_->btnCaptureAction();
        ASSERT_TRUE(app_->bSaveImage);
        app_->btnLiveAction();
        ASSERT_TRUE(waitFor([&] { return !app_->bSaveImage; }));
        stopLive();
    };
    series(2);
    ASSERT_EQ(filesIn(dir_ / "shots"), (QStringList{"Halvex1.jpg", "Halvex2.jpg"}));
    const std::string first = contents(dir_ / "shots" / "Halvex1.jpg");
    ASSERT_FALSE(first.empty());

    // A restart keeps the directory (settings file) and starts the prefix at "Halvex" again.
    app_.reset();
    start({});
    ASSERT_EQ(app_->txtPath->text(), shots());
    ASSERT_EQ(app_->txtfileName->text(), "Halvex");
    ASSERT_TRUE(app_->camName.has_value());
    series(3);
    EXPECT_EQ(filesIn(dir_ / "shots"), (QStringList{"Halvex1-2.jpg", "Halvex1.jpg", "Halvex2-2.jpg",
                                                    "Halvex2.jpg", "Halvex3.jpg"}));
    EXPECT_EQ(contents(dir_ / "shots" / "Halvex1.jpg"), first);

    // Single shots are named by the second: take names for the coming half minute so that
    // every shot below meets a name in use, as two shots within one second do.
    const fs::path singles = dir_ / "shots" / "singles";
    fs::create_directories(singles);
    app_->txtPath->setText(QString::fromStdString(singles.string()) + "/");
    const QDateTime now = QDateTime::currentDateTime();
    for (int s = 0; s < 30; ++s) {
        const QString stem = "Halvex" + now.addSecs(s).toString("MMddHHmmss");
        std::ofstream(singles / (stem + ".jpg").toStdString()) << "earlier";
    }
    series(1);
    series(1);
    int numbered = 0;
    for (const QString& name : filesIn(singles)) {
        if (name.endsWith("-2.jpg") || name.endsWith("-3.jpg"))
            ++numbered;
        else
            EXPECT_EQ(contents(singles / name.toStdString()), "earlier") << name.toStdString();
    }
    EXPECT_EQ(numbered, 2);
    EXPECT_EQ(filesIn(singles).size(), 32);
}

TEST_F(AppTest, DirectoriesTypedChosenOrLoadedEndWithASlashAndProblemsAreToldAtOnce) {
    // Loaded from the settings file without its separator.
    const QString saved = shots() + "saved";
    ASSERT_TRUE(hx::app::writePropertyListArray(docs() + "/PhotosPath.txt", {saved, "x"}));
    start({"VAh200C1"});
    EXPECT_EQ(app_->txtPath->text(), saved + "/");
    const auto status = [&] { return app_->window()->statusBar()->currentMessage(); };
    // It does not exist yet, which is fine: it is made with the first file.
    EXPECT_TRUE(status().contains("does not exist yet")) << status().toStdString();

    // Typed by hand: the separator is added when the field is left, and files land inside.
    const QString typed = shots() + "typed";
    fs::create_directories(typed.toStdString());
    app_->txtPath->setText(typed);
    emit app_->txtPath->editingFinished();
    EXPECT_EQ(app_->txtPath->text(), typed + "/");
    EXPECT_TRUE(status().isEmpty()) << status().toStdString();
    app_->intCnt->setText("1");
    app_->btnCaptureAction();
    app_->btnLiveAction();
    ASSERT_TRUE(waitFor([&] { return !app_->bSaveImage; }));
    stopLive();
    EXPECT_EQ(filesIn(typed.toStdString()).size(), 1);
    EXPECT_TRUE(filesIn(dir_ / "shots").isEmpty());

    // Chosen in the directory chooser.
    app_->chooseDirectory(typed);
    EXPECT_EQ(app_->txtPath->text(), typed + "/");

    // A directory below a regular file cannot be made, and one that is a file is no directory:
    // both are told when they are set, not at the first failed save.
    std::ofstream(dir_ / "shots" / "plain") << "x";
    app_->txtPath->setText(shots() + "plain/sub");
    emit app_->txtPath->editingFinished();
    EXPECT_EQ(status().toStdString(), (shots() + "plain/sub/ cannot be created").toStdString());
    app_->txtPath->setText(shots() + "plain");
    emit app_->txtPath->editingFinished();
    EXPECT_EQ(status().toStdString(), (shots() + "plain/ is not a directory").toStdString());
    app_->txtPath->setText("/proc/");
    emit app_->txtPath->editingFinished();
    EXPECT_EQ(status().toStdString(), "/proc/ cannot be written");
}
