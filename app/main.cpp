// halvex-capture: the capture application. Options:
//   --simulate MODEL[:BCD][,MODEL...]   plug simulated cameras before the cameras are listed
//   --live                              start live view on the first camera
//   --record                            with --live: record a movie of it from the start
// SIGINT and SIGTERM end the application as closing its window does: the movie is closed,
// the cameras' parameters and the settings file are written.
#include <QApplication>
#include <QMainWindow>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "app/AppDelegate.h"
#include "app/Localisation.h"
#include "camera/CamApi.h"
#include "tools/SignalWatcher.h"

int main(int argc, char** argv) {
    // First, so that no thread of Qt or of the library takes the signals.
    hx::tools::SignalWatcher signalWatcher;
    // Past a file-size limit a write fails and the user is told, as for a full disk, instead of
    // the signal ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication application(argc, argv);
    signalWatcher.onSignal([&application](int) {
        QMetaObject::invokeMethod(&application, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    QApplication::setApplicationName(QStringLiteral("halvex-capture"));
    hx::app::installTranslation();

    hx::app::AppOptions options;
    bool live = false, record = false;
    const QStringList arguments = QApplication::arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (arg == QLatin1String("--simulate") && i + 1 < arguments.size()) {
            options.simulate << arguments[++i];
        } else if (arg.startsWith(QLatin1String("--simulate="))) {
            options.simulate << arg.mid(11);
        } else if (arg == QLatin1String("--live")) {
            live = true;
        } else if (arg == QLatin1String("--record")) {
            record = true;
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::printf("Usage: halvex-capture [--simulate MODEL[:BCD][,MODEL[:BCD]...]] [--live "
                        "[--record]]\n"
                        "Simulated cameras can also be plugged in from the Simulate menu.\n");
            return 0;
        } else {
            std::fprintf(stderr, "halvex-capture: unknown option '%s'\n", qPrintable(arg));
            return 1;
        }
    }

    // Simulated cameras in the window behave like real ones: frames at the exposure's pace.
    SetSimulatedPacing(1);
    hx::app::AppDelegate delegate(options);
    // Closing the window ends the application; the shutdown runs before the event loop ends.
    QApplication::setQuitOnLastWindowClosed(true);
    QObject::connect(&application, &QApplication::aboutToQuit, &delegate,
                     &hx::app::AppDelegate::applicationShouldTerminate);
    delegate.window()->show();
    QTimer::singleShot(0, &delegate, [&delegate, live, record] {
        delegate.applicationDidFinishLaunching();
        if (!live) return;
        delegate.btnLiveAction();
        if (record) delegate.btnAcquieMovie();
    });
    const int code = application.exec();
    signalWatcher.onSignal({});
    // Also when the loop ended without aboutToQuit's shutdown having run (it is safe twice).
    delegate.applicationShouldTerminate();
    return code;
}
