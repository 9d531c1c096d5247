#pragma once

#include <QLoggingCategory>

// The program's own log lines (the feed library has its own categories).
Q_DECLARE_LOGGING_CATEGORY(lcApp)
