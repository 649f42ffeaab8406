#include "coordinator/open_failure.h"

#include "pipeline/media_error.h"
#include "platform/errors.h"
#include "platform/texts.h"

namespace hf {

QString describeOpenFailure(const std::exception& error)
{
    if (const auto* media = dynamic_cast<const MediaError*>(&error);
        media && media->errorCase() == MediaError::Case::exportFailed)
        return text("error.import.broken", "Hushframe can't open this video. %@", {media->message()});
    return describe(error);
}

} // namespace hf
