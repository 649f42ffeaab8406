#include "platform/errors.h"

namespace hf {

const char* Error::what() const noexcept
{
    try {
        m_what = localizedDescription().toStdString();
    } catch (...) {
        return "error";
    }
    return m_what.c_str();
}

QString describe(const std::exception& error)
{
    if (auto* own = dynamic_cast<const Error*>(&error))
        return own->localizedDescription();
    return QString::fromUtf8(error.what());
}

QString describe(std::exception_ptr error)
{
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return describe(e);
    } catch (...) {
    }
    return QStringLiteral("unknown error");
}

} // namespace hf
