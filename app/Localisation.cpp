#include "app/Localisation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

// The compiled German catalogue, embedded at build time.
extern const unsigned char kHalvexGermanCatalogue[];
extern const unsigned int kHalvexGermanCatalogueSize;

namespace hx::app {

namespace {

QTranslator& ours() {
    static QTranslator translator;
    return translator;
}

QTranslator& toolkit() {
    static QTranslator translator;
    return translator;
}

} // namespace

int installTranslation(const QLocale& locale) {
    removeTranslation();
    int installed = 0;
    // Qt's own catalogue: without it the toolkit's buttons and dialogs stay English.
    if (toolkit().load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
        QCoreApplication::installTranslator(&toolkit()))
        ++installed;
    if (locale.language() == QLocale::German &&
        ours().load(kHalvexGermanCatalogue, static_cast<int>(kHalvexGermanCatalogueSize)) &&
        QCoreApplication::installTranslator(&ours()))
        ++installed;
    return installed;
}

void removeTranslation() {
    QCoreApplication::removeTranslator(&ours());
    QCoreApplication::removeTranslator(&toolkit());
}

} // namespace hx::app
