#pragma once

// How a video that can't be opened (in the editor or the batch queue) is explained to the user.

#include <QString>

#include <exception>

namespace hf {

// The reason in the opener's words. The media operations report a broken stream inside a file
// the way an export reports it ("Exporting failed: ..."); opening says it can't open the video and
// why. Every other error keeps its own description.
QString describeOpenFailure(const std::exception& error);

} // namespace hf
