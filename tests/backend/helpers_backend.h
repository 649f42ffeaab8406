#pragma once

// Shared by the backend tests.

#include "backend/api_error.h"

#include <QNetworkAccessManager>
#include <QTest>
#include <QUrl>

#include <functional>

namespace hf::test {

// Runs `f` and returns the APIError it throws; fails the test when it throws none.
template<class F>
APIError expectAPIError(F&& f)
{
    try {
        f();
    } catch (const APIError& e) {
        return e;
    }
    QTest::qFail("expected an APIError", __FILE__, __LINE__);
    return APIError::invalidResponse();
}

// Loads `url` and follows its http(s) redirects as a browser does; a redirect to another scheme
// (the application's own link) goes to `onAppLink`.
void followPage(QNetworkAccessManager& network, const QUrl& url, std::function<void(const QUrl&)> onAppLink = {});

} // namespace hf::test
