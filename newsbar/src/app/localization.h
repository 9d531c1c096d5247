#pragma once

#include <QString>

// The translation of an id-based string, or the empty text when no loaded translation has it.
QString localizedString(const char* id);
// The same, with fallback when no loaded translation has it (a program run without its
// translations, a test).
QString localizedString(const char* id, const QString& fallback);

// Loads the embedded translations: English always, then the one for the user's locale, which
// takes precedence where it has a string.
void installTranslations();
