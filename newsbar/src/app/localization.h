#pragma once

#include <QString>

// The translation of an id-based string, or the empty text when no loaded translation has it.
QString localizedString(const char* id);

// Loads the embedded translations: English always, then the one for the user's locale, which
// takes precedence where it has a string.
void installTranslations();
