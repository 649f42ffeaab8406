#pragma once

// The export block of the inspector: the audio format of the exported video, whether the stems
// are saved too, and the folder in which the save dialog opens; with the remembered export
// preferences that the exporter and the sidebar read.

#include "pipeline/separation_settings.h"
#include "platform/settings_store.h"

#include <QString>
#include <QWidget>

#include <array>
#include <optional>

class QComboBox;

namespace hf {

class EngineCoordinator;

namespace ExportPreferences {

// Bool: also save the three stems beside the video; false when absent.
inline constexpr const char* includeStemsKey = "hf_export_include_stems";
// Bool: also save the clean soundtrack beside the video; false when absent.
inline constexpr const char* includeAudioKey = "hf_export_include_audio";
// String: the raw value of the folder the save dialog starts in; "movies" when absent.
inline constexpr const char* folderKey = "hf_export_folder";

// The folders an export can start in, in the order the picker lists them. "movies" is the
// desktop's videos folder.
enum class Folder { movies, desktop, downloads };
inline constexpr std::array allFolders{Folder::movies, Folder::desktop, Folder::downloads};

// "movies", "desktop" or "downloads".
QString rawValue(Folder folder);
// Exactly one of the raw values (case-sensitive), else none.
std::optional<Folder> folderFromRawValue(const QString& raw);
// The folder's name in the current locale.
QString title(Folder folder);
// The folder's path from the desktop's user folders (XDG); none when the desktop names none or
// it does not exist.
std::optional<QString> directory(Folder folder);

// The folder in which exports start: the stored choice's folder, else the videos folder, else
// the home folder.
QString folderPath(const SettingsStore& defaults);

bool includeStems(const SettingsStore& defaults);
bool includeAudio(const SettingsStore& defaults);
// The stored raw value, "movies" when absent.
QString storedFolder(const SettingsStore& defaults);

} // namespace ExportPreferences

// The export block: two radio rows for the audio format (stored in the coordinator's settings), a
// check row for the stems, the folder picker and a note. Every choice is stored at once.
// Needs the coordinator (its settings) and the store the preferences live in; neither is owned.
class ExportOptionsView : public QWidget {
    Q_OBJECT

public:
    ExportOptionsView(EngineCoordinator* coordinator, SettingsStore* defaults, QWidget* parent = nullptr);

    // Stores the audio format in the coordinator's settings (saved even when unchanged).
    void setQuality(AudioQuality quality);
    void toggleStems();
    void chooseFolder(ExportPreferences::Folder folder);

private:
    void refresh();

    EngineCoordinator* m_coordinator;
    SettingsStore* m_defaults;
    class OptionRow* m_sourceRow = nullptr;
    class OptionRow* m_losslessRow = nullptr;
    class OptionRow* m_stemsRow = nullptr;
    QComboBox* m_folderPicker = nullptr;
};

} // namespace hf
