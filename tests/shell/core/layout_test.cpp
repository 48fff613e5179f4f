// The places shell/core gives both front ends: the grid's arithmetic, the panel's controls
// where the dialog has always had them and clear of one another, the settings dialog's
// rows (one per setting, masked and browsable where they should be), and the QR symbol's
// whole-pixel placement.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "qr/qr_bitmap.h"
#include "shell/core/grid.h"
#include "shell/core/panel.h"
#include "shell/core/qr_layout.h"
#include "shell/core/settings_form.h"

namespace quillmark::shell {
namespace {

using layout::Rect;

std::vector<int> V(const Rect& r) { return {r.x, r.y, r.cx, r.cy}; }

bool Overlap(const Rect& a, const Rect& b) {
  return a.x < b.x + b.cx && b.x < a.x + a.cx && a.y < b.y + b.cy && b.y < a.y + a.cy;
}

bool Inside(const Rect& r, layout::Size size) {
  return r.x >= 0 && r.y >= 0 && r.cx > 0 && r.cy > 0 && r.x + r.cx <= size.cx &&
         r.y + r.cy <= size.cy;
}

TEST(Grid, CellsSpanTheirTracksAndSmallerControlsSitInTheMiddleOfTheirRows) {
  // Columns 10..30, 34..84; rows 5..17, 19..35.
  const layout::Grid grid(10, 5, {{0, 20}, {4, 50}}, {{0, 12}, {2, 16}});
  const struct {
    layout::Cell cell;
    Rect expected;
  } rows[] = {
      {{0, 0}, {10, 5, 20, 12}},
      {{1, 1}, {34, 19, 50, 16}},
      {{0, 0, 2, 2}, {10, 5, 74, 30}},          // both ways, the space between included
      {{1, 1, 1, 1, 30}, {34, 19, 30, 16}},     // its own width, from the column's left
      {{1, 0, 1, 1, 0, 10}, {10, 22, 20, 10}},  // its own height, in the middle
      {{2, 0}, {10, 5, 0, 0}},                  // no such row
      {{0, 1, 1, 2}, {10, 5, 0, 0}},            // past the last column
  };
  for (const auto& row : rows) {
    EXPECT_EQ(V(grid.Place(row.cell)), V(row.expected))
        << "cell " << row.cell.row << "," << row.cell.column;
  }
  EXPECT_EQ(grid.Bottom(), 35);
  EXPECT_EQ(grid.Right(), 84);
}

TEST(PanelLayout, ControlsKeepTheirPlacesAndClearEachOtherAndTheTemplate) {
  // Where the panel's controls are, in dialog units.
  const std::map<PanelItem, Rect> expected = {
      {PanelItem::kQueryAgainButton, {62, 179, 50, 14}},
      {PanelItem::kCloseOrderButton, {115, 179, 50, 14}},
      {PanelItem::kRefundButton, {168, 179, 50, 14}},
      // The refund's amount and its unit beside it move the rest of the row right.
      {PanelItem::kRefundAmount, {220, 180, 44, 12}},
      {PanelItem::kRefundAmountUnit, {266, 182, 10, 8}},
      {PanelItem::kAbortButton, {279, 179, 40, 14}},
      {PanelItem::kBusy, {323, 181, 38, 10}},
      {PanelItem::kStep, {365, 181, 120, 10}},
      // The scenario and trade type first, then the till's row, inside the template's own
      // size: they show from the start.
      {PanelItem::kScenario, {62, 7, 86, 12}},
      {PanelItem::kTradeType, {200, 7, 56, 12}},
      {PanelItem::kAuthCodeLabel, {7, 24, 52, 8}},
      {PanelItem::kAuthCode, {62, 22, 86, 12}},
      {PanelItem::kTillAmount, {152, 22, 44, 12}},
      {PanelItem::kTillButton, {200, 21, 56, 14}},
      {PanelItem::kOrderNo, {62, 37, 194, 12}},
      {PanelItem::kOrderVerdict, {62, 51, 194, 16}},
      {PanelItem::kCodeUrl, {62, 69, 194, 12}},
      {PanelItem::kQuery1, {62, 83, 251, 16}},
      {PanelItem::kQuery2, {62, 101, 251, 16}},
      {PanelItem::kBitmap, {62, 119, 251, 16}},
      {PanelItem::kOpenFolder, {62, 137, 80, 12}},
      {PanelItem::kNotification, {62, 151, 251, 24}},
      {PanelItem::kQueryAgainVerdict, {62, 199, 451, 16}},
      {PanelItem::kCloseOrderVerdict, {62, 217, 451, 16}},
      {PanelItem::kRefundVerdict, {62, 235, 451, 16}},
      {PanelItem::kTillVerdict, {62, 253, 451, 16}},
      {PanelItem::kQr, {320, 7, 193, 168}},
      {PanelItem::kLogLabel, {7, 275, 60, 8}},
      {PanelItem::kLog, {7, 285, 452, 100}},
      {PanelItem::kCopyLog, {463, 285, 50, 14}},
      {PanelItem::kClearLog, {463, 302, 50, 14}},
  };
  ASSERT_EQ(PanelControls().size(), expected.size());
  // Button1 is the first cell of its row; OK and Cancel are the template's.
  const Rect pay = PanelGrid(PanelBand::kButtons).Place({0, 0});
  EXPECT_EQ(V(pay),
            V({layout::kMainPay.x, layout::kMainPay.y, layout::kMainPay.cx, layout::kMainPay.cy}));
  std::vector<std::pair<std::string, Rect>> placed = {
      {"Button1", pay},
      {"OK", {layout::kMainOk.x, layout::kMainOk.y, layout::kMainOk.cx, layout::kMainOk.cy}},
      {"Cancel",
       {layout::kMainCancel.x, layout::kMainCancel.y, layout::kMainCancel.cx,
        layout::kMainCancel.cy}}};
  for (const PanelControl& control : PanelControls()) {
    SCOPED_TRACE(control.objectName);
    EXPECT_EQ(V(control.du), V(expected.at(control.item)));
    EXPECT_TRUE(Inside(control.du, kPanelSize));
    // What shows before the panel grows fits the template as it is.
    if (ShownBeforePanel(control.item)) {
      EXPECT_TRUE(Inside(control.du, layout::kMainSize));
      EXPECT_TRUE(!HasRowCaption(control.kind) || Inside(CaptionRect(control), layout::kMainSize));
    }
    placed.emplace_back(control.objectName, control.du);
    if (HasRowCaption(control.kind)) {
      placed.emplace_back(std::string(control.objectName) + " caption", CaptionRect(control));
    }
  }
  for (std::size_t i = 0; i < placed.size(); ++i) {
    for (std::size_t j = i + 1; j < placed.size(); ++j) {
      EXPECT_FALSE(Overlap(placed[i].second, placed[j].second))
          << placed[i].first << " and " << placed[j].first;
    }
  }
  // The log reaches to the dialog's margin.
  EXPECT_EQ(PanelGrid(PanelBand::kLog).Bottom(), kPanelSize.cy - 7);
}

TEST(SettingsForm, EverySettingHasOneRowMaskedOrBrowsableAsItsKindSays) {
  const std::vector<SettingRow>& rows = SettingRows();
  ASSERT_EQ(rows.size(), SettingKeys().size());
  ASSERT_LE(rows.size(), static_cast<std::size_t>(kSettingIdsPerBase));
  // The files: what the programs read, and where the bitmap goes.
  const std::map<std::string, SettingKind> files = {{"ca_file", SettingKind::kFileToRead},
                                                    {"qr_path", SettingKind::kFileToWrite},
                                                    {"client_cert", SettingKind::kFileToRead},
                                                    {"client_key", SettingKind::kFileToRead}};
  std::set<const SettingKey*> seen;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const SettingRow& row = rows[i];
    SCOPED_TRACE(row.key->fileKey);
    EXPECT_EQ(row.key, &SettingKeys()[i]) << "in the settings file's order";
    EXPECT_TRUE(seen.insert(row.key).second) << "one row per setting";
    EXPECT_STRNE(row.label, "");
    EXPECT_EQ(row.kind == SettingKind::kSecret, row.key->secret) << "secret rows are masked";
    const auto file = files.find(row.key->fileKey);
    EXPECT_EQ(row.browse(), file != files.end());
    if (file != files.end()) {
      EXPECT_EQ(row.kind, file->second);
      EXPECT_FALSE(row.filters.empty());
    }
  }
}

// A choice row offers exactly the values its key's rule takes: a choice the rule refused
// could never be saved, and a value it takes but the list lacks could never be picked.
TEST(SettingsForm, AChoiceRowOffersEveryValueItsRuleTakesAndNoOther) {
  const std::map<std::string, std::vector<std::string>> choices = {
      {"sign_type", {"MD5", "HMAC-SHA256"}}};
  for (const SettingRow& row : SettingRows()) {
    SCOPED_TRACE(row.key->fileKey);
    const auto expected = choices.find(row.key->fileKey);
    ASSERT_EQ(row.kind == SettingKind::kChoice, expected != choices.end());
    if (expected == choices.end()) continue;
    EXPECT_EQ(row.choices, expected->second);
    EXPECT_FALSE(row.browse());
    for (const std::string& value : row.choices) EXPECT_EQ(row.key->rule(value), "") << value;
    for (const char* other : {"", "md5", "HMAC-SHA1", "SHA256"}) {
      EXPECT_NE(row.key->rule(other), "") << other;
    }
  }
}

TEST(SettingsForm, ControlsFitTheDialogAndClearEachOther) {
  const layout::Size size = SettingsDialogSize();
  std::vector<std::pair<std::string, Rect>> placed = {{"file", SettingsFileRect()},
                                                      {"status", SettingsStatusRect()},
                                                      {"save", SettingsSaveRect()},
                                                      {"cancel", SettingsCancelRect()}};
  placed.emplace_back("profile label", SettingsProfileLabelRect());
  placed.emplace_back("profile chooser", SettingsProfileRect());
  for (std::size_t i = 0; i < SettingRows().size(); ++i) {
    const std::string name = SettingRows()[i].key->fileKey;
    const SettingRowRects rects = SettingRowRectsOf(i);
    placed.emplace_back(name + " label", rects.label);
    placed.emplace_back(name + " box", rects.edit);
    placed.emplace_back(name + " note", rects.note);
    if (SettingRows()[i].browse()) {
      placed.emplace_back(name + " browse", rects.browse);
      EXPECT_EQ(rects.browse.x + rects.browse.cx, rects.note.x + rects.note.cx) << name;
    } else {
      EXPECT_EQ(V(rects.browse), V({0, 0, 0, 0})) << name;
      EXPECT_EQ(rects.edit.x + rects.edit.cx, rects.note.x + rects.note.cx) << name;
    }
  }
  for (std::size_t i = 0; i < placed.size(); ++i) {
    EXPECT_TRUE(Inside(placed[i].second, size)) << placed[i].first;
    for (std::size_t j = i + 1; j < placed.size(); ++j) {
      EXPECT_FALSE(Overlap(placed[i].second, placed[j].second))
          << placed[i].first << " and " << placed[j].first;
    }
  }
}

TEST(SettingsForm, TheNoteSaysTheBrokenRuleFirstThenTheVariable) {
  const SettingRow& mchId = SettingRows()[1];
  ASSERT_STREQ(mchId.key->fileKey, "mch_id");
  const Environment overridden = {{mchId.key->environment, "1234567890"}};
  const struct {
    const char* value;
    Environment environment;
    bool broken;
    std::string text;
  } rows[] = {
      {"12", {}, true, "it must be exactly 10 digits"},
      {"12", overridden, true, "it must be exactly 10 digits"},
      {"1234567890", overridden, false, "环境变量 QUILLMARK_MCH_ID 优先于此值"},
      {"1234567890", {}, false, ""},
  };
  for (const auto& row : rows) {
    const SettingNote note = NoteFor(mchId, row.value, row.environment);
    EXPECT_EQ(note.broken, row.broken) << row.value;
    EXPECT_EQ(note.text, row.text) << row.value;
  }
}

// With a profile shown, [merchant]'s value is noted as inherited, after the rule and the
// variable; with [merchant] shown there is nothing to inherit from.
TEST(SettingsForm, AProfilesValueThatIsMerchantsIsNotedAsInherited) {
  const SettingRow& mchId = SettingRows()[1];
  const std::string merchant = "1234567890";
  const Environment overridden = {{mchId.key->environment, "1234567890"}};
  EXPECT_EQ(NoteFor(mchId, "1234567890", {}, &merchant).text, "沿用 [merchant] 的值");
  EXPECT_EQ(NoteFor(mchId, "1234567891", {}, &merchant).text, "");
  EXPECT_EQ(NoteFor(mchId, "1234567890", {}, nullptr).text, "");
  EXPECT_EQ(NoteFor(mchId, "1234567890", overridden, &merchant).text,
            "环境变量 QUILLMARK_MCH_ID 优先于此值");
  EXPECT_EQ(ProfileChoices({"a", "b-2"}),
            (std::vector<std::string>{"[merchant]（默认）", "[profile a]", "[profile b-2]"}));
}

TEST(QrLayout, WholePixelModulesWithTheQuietZoneCentredInTheArea) {
  static_assert(qr::kQuietZoneModules == 4, "the rows below count a quiet zone of 4");
  const struct {
    int x, y, width, height, modules;
    QrPlacement expected;
  } rows[] = {
      {0, 0, 290, 252, 21, {8, 61, 42}},    // 29 modules with the quiet zone: 252 / 29 = 8
      {10, 20, 100, 100, 21, {3, 28, 38}},  // offset by the area's corner
      {0, 0, 58, 58, 21, {2, 8, 8}},        // exactly two pixels a module
      {0, 0, 57, 57, 21, {1, 18, 18}},      // just short of two
      {0, 0, 20, 20, 21, {1, 0, 0}},        // too small: one pixel, the quiet zone cut
      {0, 0, 10, 10, 25, {1, -7, -7}},      // larger than the area, still centred
  };
  for (const auto& row : rows) {
    const QrPlacement placed = PlaceQr(row.x, row.y, row.width, row.height, row.modules);
    EXPECT_EQ(std::vector<int>({placed.modulePixels, placed.left, placed.top}),
              std::vector<int>({row.expected.modulePixels, row.expected.left, row.expected.top}))
        << row.width << "x" << row.height << ", " << row.modules << " modules";
  }
}

}  // namespace
}  // namespace quillmark::shell
