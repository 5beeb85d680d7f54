// The application's translations, chosen by the system's language.
#pragma once

#include <QLocale>

namespace hx::app {

/// Installs, for the language of `locale`, the application's own catalogue when it ships one
/// (German) and Qt's catalogue for the toolkit's texts (file chooser, standard buttons) when
/// the system has one; other texts show their English keys. Returns how many catalogues were
/// installed. A second call replaces what the first installed.
int installTranslation(const QLocale& locale = QLocale::system());
/// Removes what installTranslation installed.
void removeTranslation();

} // namespace hx::app
