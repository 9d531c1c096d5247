#include "logging.h"

Q_LOGGING_CATEGORY(lcApp, "newsbar.app")
