#pragma once

// The file chooser of the main window, behind a small interface so that tests answer it. It
// never runs a nested event loop: pick() returns at once and the answer comes to the completion.

#include "app/import_routing.h"

#include <QPointer>
#include <QString>

#include <functional>

class QFileDialog;
class QWidget;

namespace hf {

class FilePicker {
public:
    using Completion = std::function<void(PickOutcome)>;

    virtual ~FilePicker() = default;
    // Offers the movies; several may be chosen only when `multiple` is true. The completion runs
    // once, with the chosen files or with nothing when the user cancelled.
    virtual void pick(QWidget* parent, bool multiple, Completion completion) = 0;
};

// The desktop's file chooser, opened window-modal over `parent`.
class DialogFilePicker final : public FilePicker {
public:
    ~DialogFilePicker() override;
    void pick(QWidget* parent, bool multiple, Completion completion) override;

    // "Videos (*.mp4 *.mov ...)": every file name pattern of the video types the system knows.
    static QString movieNameFilter();

private:
    QPointer<QFileDialog> m_dialog;
};

} // namespace hf
