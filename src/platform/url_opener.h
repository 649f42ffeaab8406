#pragma once

#include <QUrl>

#include <functional>

namespace hf {

// Opens a web page (or any URL) outside the application; returns whether the hand-over started.
// Sign-in flows take one so that tests can stand in for the browser.
using URLOpener = std::function<bool(const QUrl&)>;

// The desktop's default handler, through `xdg-open`.
URLOpener systemURLOpener();

} // namespace hf
