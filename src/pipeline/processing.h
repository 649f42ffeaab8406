#pragma once

#include <QString>

namespace hf {

// Where a clean stands. `failed` carries the user-visible message.
class ProcessingStage {
public:
    enum class Kind {
        idle,
        extractingAudio,
        uploading,
        queued,
        separating,
        downloading,
        mixing,
        remuxingVideo,
        completed,
        failed,
    };

    ProcessingStage() = default;
    ProcessingStage(Kind kind) : m_kind(kind) {}
    static ProcessingStage failed(QString message) { return ProcessingStage(Kind::failed, std::move(message)); }

    Kind kind() const { return m_kind; }
    // The failure's message; empty for every other stage.
    const QString& message() const { return m_message; }

    // The short status shown in the sidebar's rows ("reading audio", "finishing", ...).
    QString shortStatus() const;

    // Same case; two failures are equal only with equal messages.
    bool operator==(const ProcessingStage&) const = default;

private:
    ProcessingStage(Kind kind, QString message) : m_kind(kind), m_message(std::move(message)) {}

    Kind m_kind = Kind::idle;
    QString m_message;
};

// One progress report of running work.
struct ProcessingProgress {
    ProcessingStage stage;
    double fractionCompleted = 0;   // 0...1 of the whole clean; the producer clamps it
    QString currentStatusMessage;   // localized one-line status

    bool operator==(const ProcessingProgress&) const = default;
};

} // namespace hf
