#pragma once

#include <QLoggingCategory>

// Declares and defines a logging category for one component, named
// "dev.lanternworkshop.Hushframe.<Component>". Use in one .cpp file:
//   HF_LOGGING_CATEGORY(lcAPIClient, "APIClient")
// and log with qCInfo(lcAPIClient) / qCWarning / qCCritical. Tokens, codes and passwords are
// never logged.
#define HF_LOGGING_CATEGORY(name, component) \
    Q_LOGGING_CATEGORY(name, "dev.lanternworkshop.Hushframe." component)

// For a category shared by several files of one component: declare in a header with
// HF_DECLARE_LOGGING_CATEGORY(name) and define in one .cpp with HF_LOGGING_CATEGORY.
#define HF_DECLARE_LOGGING_CATEGORY(name) Q_DECLARE_LOGGING_CATEGORY(name)
