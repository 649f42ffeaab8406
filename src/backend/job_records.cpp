#include "backend/job_records.h"

namespace hf {

namespace {

constexpr qsizetype maxIdentifierLength = 128;

QString safeIdentifier(const json::ObjectReader& in, const QString& key)
{
    QString id = in.required<QString>(key);
    if (!isSafeIdentifier(id))
        throw DecodingError(DecodingError::Kind::dataCorrupted, json::joinPath(in.path(), key),
                            QStringLiteral("Not a safe identifier: \"%1\"")
                                .arg(id.left(maxIdentifierLength + 1)));
    return id;
}

QUrl webUrl(const json::ObjectReader& in, const QString& key)
{
    QUrl url = in.required<QUrl>(key);
    if (!isWebUrl(url))
        throw DecodingError(DecodingError::Kind::dataCorrupted, json::joinPath(in.path(), key),
                            QStringLiteral("Not an http or https URL (scheme \"%1\")").arg(url.scheme()));
    return url;
}

} // namespace

bool isSafeIdentifier(QStringView id)
{
    if (id.isEmpty() || id.size() > maxIdentifierLength || id == u"." || id == u"..")
        return false;
    for (const QChar c : id) {
        const char16_t u = c.unicode();
        const bool ok = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9')
            || u == u'.' || u == u'_' || u == u'-';
        if (!ok)
            return false;
    }
    return true;
}

bool isWebUrl(const QUrl& url)
{
    const QString scheme = url.scheme();
    return url.isValid() && !url.host().isEmpty()
        && (scheme == u"http" || scheme == u"https");
}

JobFailure JobFailure::fromJson(const json::ObjectReader& in)
{
    return {
        .code = in.required<QString>(QStringLiteral("code")),
        .message = in.required<QString>(QStringLiteral("message")),
    };
}

void JobFailure::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("code"), code);
    out.put(QStringLiteral("message"), message);
}

JobOutputs JobOutputs::fromJson(const json::ObjectReader& in)
{
    return {
        .dialogue = webUrl(in, QStringLiteral("dialogue")),
        .music = webUrl(in, QStringLiteral("music")),
        .effects = webUrl(in, QStringLiteral("effects")),
    };
}

void JobOutputs::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("dialogue"), dialogue);
    out.put(QStringLiteral("music"), music);
    out.put(QStringLiteral("effects"), effects);
}

CloudJob CloudJob::fromJson(const json::ObjectReader& in)
{
    return {
        .id = safeIdentifier(in, QStringLiteral("id")),
        .kind = in.required<JobKind>(QStringLiteral("kind")),
        .status = in.required<JobStatus>(QStringLiteral("status")),
        .durationSeconds = in.required<double>(QStringLiteral("durationSeconds")),
        .progress = in.optional<double>(QStringLiteral("progress")),
        .error = in.optional<JobFailure>(QStringLiteral("error")),
        .createdAt = in.optional<QDateTime>(QStringLiteral("createdAt")),
        .completedAt = in.optional<QDateTime>(QStringLiteral("completedAt")),
        .expiresAt = in.optional<QDateTime>(QStringLiteral("expiresAt")),
        .outputs = in.optional<JobOutputs>(QStringLiteral("outputs")),
        .claimCheck = in.optional<ClaimCheck>(QStringLiteral("claimCheck")),
    };
}

void CloudJob::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("id"), id);
    out.put(QStringLiteral("kind"), kind);
    out.put(QStringLiteral("status"), status);
    out.put(QStringLiteral("durationSeconds"), durationSeconds);
    out.put(QStringLiteral("progress"), progress);
    out.put(QStringLiteral("error"), error);
    out.put(QStringLiteral("createdAt"), createdAt);
    out.put(QStringLiteral("completedAt"), completedAt);
    out.put(QStringLiteral("expiresAt"), expiresAt);
    out.put(QStringLiteral("outputs"), outputs);
    out.put(QStringLiteral("claimCheck"), claimCheck);
}

UploadInstruction UploadInstruction::fromJson(const json::ObjectReader& in)
{
    return {
        .url = webUrl(in, QStringLiteral("url")),
        .method = in.required<QString>(QStringLiteral("method")),
        .headers = in.required<QMap<QString, QString>>(QStringLiteral("headers")),
    };
}

void UploadInstruction::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("url"), url);
    out.put(QStringLiteral("method"), method);
    out.put(QStringLiteral("headers"), headers);
}

void CreateJobRequest::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("kind"), kind);
    out.put(QStringLiteral("durationSeconds"), durationSeconds);
    out.put(QStringLiteral("contentType"), contentType);
    out.put(QStringLiteral("claimCheck"), claimCheck);
}

CreateJobResponse CreateJobResponse::fromJson(const json::ObjectReader& in)
{
    return {
        .job = in.required<CloudJob>(QStringLiteral("job")),
        .upload = in.required<UploadInstruction>(QStringLiteral("upload")),
    };
}

void PromoteJobRequest::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("durationSeconds"), durationSeconds);
    out.put(QStringLiteral("claimCheck"), claimCheck);
}

JobEnvelope JobEnvelope::fromJson(const json::ObjectReader& in)
{
    return {.job = in.required<CloudJob>(QStringLiteral("job"))};
}

} // namespace hf
