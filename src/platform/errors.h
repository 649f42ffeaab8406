#pragma once

#include <QString>

#include <exception>
#include <string>

namespace hf {

// Base of every error family of the application (APIError, MediaError, SeparationError, ...).
// A family is one class with a case enum, the case's payload and localizedDescription(), the
// text shown to the user as it stands.
class Error : public std::exception {
public:
    ~Error() override = default;
    virtual QString localizedDescription() const = 0;
    const char* what() const noexcept override;

private:
    mutable std::string m_what;
};

// Thrown by an operation that stopped because its owner asked it to. Callers treat it as
// silence: never logged as a failure, never shown to the user. Deliberately not an hf::Error,
// so `catch (const hf::Error&)` never swallows a cancellation.
class Cancelled : public std::exception {
public:
    const char* what() const noexcept override { return "cancelled"; }
};

// The description of any exception, for log lines: an hf::Error's localized text, else what().
QString describe(const std::exception& error);
QString describe(std::exception_ptr error);

} // namespace hf
