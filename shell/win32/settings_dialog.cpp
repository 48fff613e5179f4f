#include "shell/win32/settings_dialog.h"

#include <vector>

#include "payment/merchant_settings.h"
#include "shell/core/outcome_words.h"
#include "payment/settings_file.h"
#include "shell/win32/resources/resource.h"
#include "shell/core/texts.h"
#include "shell/win32/win_util.h"

namespace quillmark::win32 {
namespace {

struct State {
  std::string file;
  Environment environment;
};

std::wstring ItemText(HWND dialog, int id) {
  HWND item = GetDlgItem(dialog, id);
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(item)) + 1, L'\0');
  GetWindowTextW(item, text.data(), static_cast<int>(text.size()));
  text.resize(text.size() - 1);
  return text;
}

MerchantSettings Values(HWND dialog) {
  MerchantSettings values;
  int i = 0;
  for (const SettingKey& key : SettingKeys()) {
    values.*key.member = Utf8(ItemText(dialog, IDC_SETTING_EDIT + i++));
  }
  return values;
}

// Shows each key's rule under its box (or that the environment overrides it) and lets
// Save be pressed only when every value passes.
void Check(HWND dialog, const State& state) {
  bool valid = true;
  int i = 0;
  for (const SettingKey& key : SettingKeys()) {
    const std::string rule = key.rule(Utf8(ItemText(dialog, IDC_SETTING_EDIT + i)));
    valid = valid && rule.empty();
    std::string note = rule;
    if (note.empty() && state.environment.count(key.environment) != 0) {
      note = shell::words::Fill(shell::texts::kSettingOverridden, {key.environment});
    }
    SetDlgItemTextW(dialog, IDC_SETTING_RULE + i, Wide(note).c_str());
    ++i;
  }
  EnableWindow(GetDlgItem(dialog, IDOK), valid);
}

INT_PTR CALLBACK SettingsProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<State*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      state = reinterpret_cast<State*>(lParam);
      SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      CenterWindow(dialog, GetWindow(dialog, GW_OWNER));
      std::string problem;
      const MerchantSettings current = quillmark::ReadSettingsFile(state->file, problem);
      SetDlgItemTextW(dialog, IDC_SETTINGS_FILE,
                      Wide(shell::words::Fill(shell::texts::kSettingsFile, {state->file})).c_str());
      int i = 0;
      for (const SettingKey& key : SettingKeys()) {
        SetDlgItemTextW(dialog, IDC_SETTING_LABEL + i, Wide(key.fileKey).c_str());
        SetDlgItemTextW(dialog, IDC_SETTING_EDIT + i++, Wide(current.*key.member).c_str());
      }
      SetDlgItemTextW(dialog, IDC_SETTINGS_STATUS, Wide(problem).c_str());
      Check(dialog, *state);
      return TRUE;
    }
    case WM_COMMAND:
      if (HIWORD(wParam) == EN_CHANGE && state != nullptr) {
        Check(dialog, *state);
        return TRUE;
      }
      if (LOWORD(wParam) == IDOK) {
        std::string error;
        if (quillmark::SaveSettingsFile(state->file, Values(dialog), error)) {
          EndDialog(dialog, IDOK);
        } else {
          SetDlgItemTextW(dialog, IDC_SETTINGS_STATUS, Wide(error).c_str());
        }
        return TRUE;
      }
      if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, IDCANCEL);
        return TRUE;
      }
      break;
    default:
      break;
  }
  return FALSE;
}

}  // namespace

bool RunSettingsDialog(HWND owner, const std::string& file) {
  State state{file, ProcessEnvironment()};
  return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_SETTINGS), owner,
                         &SettingsProc, reinterpret_cast<LPARAM>(&state)) == IDOK;
}

}  // namespace quillmark::win32
