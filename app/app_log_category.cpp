#include "app_log_category.h"

Q_LOGGING_CATEGORY(lcApp, "ostrelo.app")
