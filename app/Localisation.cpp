#include "app/Localisation.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

// The compiled German catalogue, embedded at build time.
extern const unsigned char kHalvexGermanCatalogue[];
extern const unsigned int kHalvexGermanCatalogueSize;

namespace hx::app {

void installTranslation() {
    if (QLocale::system().language() != QLocale::German) return;
    static QTranslator translator;
    if (translator.load(kHalvexGermanCatalogue, static_cast<int>(kHalvexGermanCatalogueSize)))
        QCoreApplication::installTranslator(&translator);
}

} // namespace hx::app
