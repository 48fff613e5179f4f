// The settings dialog (设置), described once for both front ends, as the panel is: one row
// per setting of config/settings.def, each giving its label, its kind and the note under it;
// where every control of the dialog goes; and the Win32 ids. The Qt and Win32 dialogs make
// their controls from this and read and save the file through config/settings_file.h;
// neither names a setting of its own.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "config/merchant_settings.h"
#include "shell/core/dialog_layout.h"

namespace quillmark::shell {

using quillmark::FileFilter;
using quillmark::SettingKind;

// A setting as the dialog draws it: its row of config/settings.def.
struct SettingRow {
  const SettingKey* key;  // the setting: its file key, variable, member and rule
  const char* label;      // UTF-8, left of the box
  SettingKind kind;
  std::vector<FileFilter> filters;  // a file row's chooser list; empty: every file
  // A choice row's values as the file spells them (its one-of rule's), the first the
  // default's usual one. A value the file holds that is none of them is shown as it is, and
  // its note says why.
  std::vector<std::string> choices;

  bool browse() const {
    return kind == SettingKind::kFileToRead || kind == SettingKind::kFileToWrite;
  }
};

// The rows, top to bottom, in the order of the settings file's keys.
const std::vector<SettingRow>& SettingRows();

// The line under a row for `value`: the rule it breaks, or else that `environment`
// overrides the setting, or nothing.
struct SettingNote {
  std::string text;  // UTF-8
  bool broken;       // the value breaks its rule: the dialog cannot save
};
SettingNote NoteFor(const SettingRow& row, const std::string& value,
                    const Environment& environment);

// The same with a profile shown: a value equal to [merchant]'s, `inherited`, is noted as
// inherited (and is not written into the profile); null: [merchant] is shown.
SettingNote NoteFor(const SettingRow& row, const std::string& value, const Environment& environment,
                    const std::string* inherited);

// The profile chooser, a drop-down list above the rows: which section of the file the
// dialog shows and saves, [merchant] first, then the file's profiles in its order. The
// section saved is the one the window's next cycle uses, until the window ends.
std::vector<std::string> ProfileChoices(const std::vector<std::string>& profiles);

// The caption of every row's Browse button.
inline constexpr char kBrowseCaption[] = "…";

// Where the dialog's controls go, in dialog units: the file's name on top, the profile
// chooser, the rows, then the status line beside Save and Cancel.
struct SettingRowRects {
  layout::Rect label, edit, browse, note;  // browse empty for a row without one
};
layout::Size SettingsDialogSize();
layout::Rect SettingsFileRect();
layout::Rect SettingsProfileLabelRect();
layout::Rect SettingsProfileRect();  // the chooser's box, closed
SettingRowRects SettingRowRectsOf(std::size_t row);
layout::Rect SettingsStatusRect();
layout::Rect SettingsSaveRect();
layout::Rect SettingsCancelRect();

// The Win32 control ids: the file's name, the status line, and per row (in SettingRows()
// order) a base plus the row's index.
inline constexpr int kSettingsFileId = 1100;
inline constexpr int kSettingsStatusId = 1101;
inline constexpr int kSettingsProfileLabelId = 1106;
inline constexpr int kSettingsProfileId = 1107;
inline constexpr int kSettingLabelIdBase = 1110;
inline constexpr int kSettingEditIdBase = 1130;
inline constexpr int kSettingNoteIdBase = 1150;
inline constexpr int kSettingBrowseIdBase = 1170;
inline constexpr int kSettingIdsPerBase = 20;  // the most rows the ids leave room for

}  // namespace quillmark::shell
