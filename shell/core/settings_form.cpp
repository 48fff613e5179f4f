// The settings dialog's description (settings_form.h): its rows, their notes and the grid
// that places them.
#include "shell/core/settings_form.h"

#include <utility>

#include "shell/core/grid.h"
#include "shell/core/outcome_words.h"
#include "shell/core/texts.h"

namespace quillmark::shell {
namespace {

constexpr int kMargin = 7;

// Label, box and Browse; a row without Browse has its box reach over Browse's column.
const std::vector<layout::Track> kColumns = {{0, 84}, {3, 220}, {3, 20}};

// The file's name and the profile chooser, then per row its box and the note under it
// (two lines, so that the longest rule shows whole).
layout::Grid RowsGrid() {
  std::vector<layout::Track> rows = {{0, 8}, {5, 12}};
  for (std::size_t i = 0; i < SettingRows().size(); ++i) {
    rows.push_back({i == 0 ? 5 : 3, 12});
    rows.push_back({1, 16});
  }
  return layout::Grid(kMargin, kMargin, kColumns, rows);
}

// The status line, Save and Cancel, Cancel's right edge on the boxes'.
layout::Grid ButtonsGrid() {
  return layout::Grid(kMargin, RowsGrid().Bottom(), {{0, 200}, {9, 50}, {7, 50}}, {{6, 14}});
}

constexpr int kProfileRow = 1;
int EditRow(std::size_t row) { return kProfileRow + 1 + 2 * static_cast<int>(row); }

// A label level with the box's text of grid row `row`, and tall enough below it for an
// underscore.
layout::Rect LabelRect(const layout::Grid& grid, int row) {
  layout::Rect label = grid.Place({row, 0, 1, 1, 0, 8});
  label.cy += 2;
  return label;
}

}  // namespace

const std::vector<SettingRow>& SettingRows() {
  static const std::vector<SettingRow> rows = [] {
    std::vector<SettingRow> made;
    for (const SettingKey& key : SettingKeys()) {
      made.push_back(
          {&key, key.label, key.kind, key.filters,
           key.kind == SettingKind::kChoice ? key.rule.choices : std::vector<std::string>()});
    }
    return made;
  }();
  return rows;
}

SettingNote NoteFor(const SettingRow& row, const std::string& value,
                    const Environment& environment) {
  std::string rule = row.key->rule(value);
  if (!rule.empty()) return {std::move(rule), true};
  if (environment.count(row.key->environment) != 0) {
    return {words::Fill(texts::kSettingOverridden, {row.key->environment}), false};
  }
  return {{}, false};
}

SettingNote NoteFor(const SettingRow& row, const std::string& value, const Environment& environment,
                    const std::string* inherited) {
  SettingNote note = NoteFor(row, value, environment);
  if (note.text.empty() && inherited != nullptr && *inherited == value) {
    note.text = texts::kSettingInherited;
  }
  return note;
}

std::vector<std::string> ProfileChoices(const std::vector<std::string>& profiles) {
  std::vector<std::string> choices = {texts::kProfileMerchant};
  for (const std::string& profile : profiles) {
    choices.push_back(words::Fill(texts::kProfileChoice, {profile}));
  }
  return choices;
}

layout::Size SettingsDialogSize() {
  return {RowsGrid().Right() + kMargin, ButtonsGrid().Bottom() + kMargin};
}

layout::Rect SettingsFileRect() { return RowsGrid().Place({0, 0, 1, 3}); }
layout::Rect SettingsProfileLabelRect() { return LabelRect(RowsGrid(), kProfileRow); }
layout::Rect SettingsProfileRect() { return RowsGrid().Place({kProfileRow, 1}); }

SettingRowRects SettingRowRectsOf(std::size_t row) {
  const layout::Grid grid = RowsGrid();
  const bool browse = row < SettingRows().size() && SettingRows()[row].browse();
  const int edit = EditRow(row);
  return {LabelRect(grid, edit), grid.Place({edit, 1, 1, browse ? 1 : 2}),
          browse ? grid.Place({edit, 2}) : layout::Rect{0, 0, 0, 0},
          grid.Place({edit + 1, 1, 1, 2})};
}

layout::Rect SettingsStatusRect() { return ButtonsGrid().Place({0, 0, 1, 1, 0, 8}); }
layout::Rect SettingsSaveRect() { return ButtonsGrid().Place({0, 1}); }
layout::Rect SettingsCancelRect() { return ButtonsGrid().Place({0, 2}); }

}  // namespace quillmark::shell
