#pragma once

// Showing a saved file in the desktop's file manager ("Show in Folder").

#include <QString>

#include <functional>

namespace hf {

// Shows a file to the user; the exporter and the sidebar take one so tests can stand in for the
// file manager.
using FileRevealer = std::function<void(const QString& path)>;

// Asks the desktop's file manager to open the file's folder with the file selected, through the
// session bus (org.freedesktop.FileManager1, ShowItems). When no file manager answers there, the
// folder is opened with the desktop's default handler instead. Returns at once; the call itself
// runs asynchronously and reports nothing.
void revealInFileManager(const QString& path);

// revealInFileManager as a FileRevealer.
FileRevealer systemFileRevealer();

} // namespace hf
