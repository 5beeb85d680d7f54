// The application's translations, chosen by the system's language.
#pragma once

namespace hx::app {

/// Installs the translation of the system's language when the application ships one
/// (German); otherwise texts show their English keys.
void installTranslation();

} // namespace hx::app
