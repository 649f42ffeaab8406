#pragma once

// The JSON bodies of a separation job's road through the backend: what the client sends to create
// and promote a job, and what it gets back (the job, where to upload its soundtrack, where to
// fetch its stems).

#include "backend/song_check_records.h"
#include "platform/json.h"

#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringView>
#include <QUrl>

#include <array>
#include <optional>
#include <utility>

namespace hf {

// True for an opaque, URL-safe identifier: 1 to 128 characters, each an ASCII letter or digit,
// ".", "_" or "-", and neither "." nor "..". Identifiers from the server go into request paths
// and folder names only when they pass this check.
bool isSafeIdentifier(QStringView id);

// True for an absolute http or https URL: the only kind of address from the server that the
// client uploads to or downloads from.
bool isWebUrl(const QUrl& url);

enum class JobKind { preview, full };

// In case order; succeeded, failed, canceled and expired end a job, the others mean it is still
// under way. A status this client does not know reads as `unknown`.
enum class JobStatus { awaitingUpload, queued, processing, succeeded, failed, canceled, expired, unknown };

// Why a job failed.
struct JobFailure {
    QString code;
    QString message;

    static JobFailure fromJson(const json::ObjectReader& in);
    void toJson(json::ObjectWriter& out) const;
    bool operator==(const JobFailure&) const = default;
};

// Where the finished stems can be fetched (http or https only).
struct JobOutputs {
    QUrl dialogue;
    QUrl music;
    QUrl effects;

    static JobOutputs fromJson(const json::ObjectReader& in);
    void toJson(json::ObjectWriter& out) const;
    bool operator==(const JobOutputs&) const = default;
};

// The backend's view of one job. `id` is always a safe identifier (see isSafeIdentifier).
struct CloudJob {
    QString id;
    JobKind kind = JobKind::preview;
    JobStatus status = JobStatus::unknown;
    double durationSeconds = 0;
    std::optional<double> progress;
    std::optional<JobFailure> error;
    std::optional<QDateTime> createdAt;
    std::optional<QDateTime> completedAt;
    std::optional<QDateTime> expiresAt;
    std::optional<JobOutputs> outputs;
    std::optional<ClaimCheck> claimCheck;

    static CloudJob fromJson(const json::ObjectReader& in);
    void toJson(json::ObjectWriter& out) const;
    bool operator==(const CloudJob&) const = default;
};

// How to upload the soundtrack of a new job: every header is set as given.
struct UploadInstruction {
    QUrl url;
    QString method;
    QMap<QString, QString> headers;

    static UploadInstruction fromJson(const json::ObjectReader& in);
    void toJson(json::ObjectWriter& out) const;
    bool operator==(const UploadInstruction&) const = default;
};

// Body of POST /v1/jobs.
struct CreateJobRequest {
    JobKind kind = JobKind::preview;
    double durationSeconds = 0;
    QString contentType;
    std::optional<bool> claimCheck;

    void toJson(json::ObjectWriter& out) const;
    bool operator==(const CreateJobRequest&) const = default;
};

// Answer of POST /v1/jobs.
struct CreateJobResponse {
    CloudJob job;
    UploadInstruction upload;

    static CreateJobResponse fromJson(const json::ObjectReader& in);
    bool operator==(const CreateJobResponse&) const = default;
};

// Body of POST /v1/jobs/{id}/promote.
struct PromoteJobRequest {
    double durationSeconds = 0;
    std::optional<bool> claimCheck;

    void toJson(json::ObjectWriter& out) const;
    bool operator==(const PromoteJobRequest&) const = default;
};

// Answer of every job endpoint that returns one job.
struct JobEnvelope {
    CloudJob job;

    static JobEnvelope fromJson(const json::ObjectReader& in);
    bool operator==(const JobEnvelope&) const = default;
};

} // namespace hf

// An unknown kind fails the record that holds it.
template<>
struct hf::json::EnumCoding<hf::JobKind> {
    static constexpr std::array values{
        std::pair{JobKind::preview, "preview"},
        std::pair{JobKind::full, "full"},
    };
    static constexpr std::optional<JobKind> fallback = std::nullopt;
};

template<>
struct hf::json::EnumCoding<hf::JobStatus> {
    static constexpr std::array values{
        std::pair{JobStatus::awaitingUpload, "awaiting_upload"},
        std::pair{JobStatus::queued, "queued"},
        std::pair{JobStatus::processing, "processing"},
        std::pair{JobStatus::succeeded, "succeeded"},
        std::pair{JobStatus::failed, "failed"},
        std::pair{JobStatus::canceled, "canceled"},
        std::pair{JobStatus::expired, "expired"},
        std::pair{JobStatus::unknown, "unknown"},
    };
    static constexpr std::optional<JobStatus> fallback = JobStatus::unknown;
};
