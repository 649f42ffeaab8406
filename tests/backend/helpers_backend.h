#pragma once

// Shared by the backend tests.

#include "backend/api_error.h"

#include <QTest>

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

} // namespace hf::test
