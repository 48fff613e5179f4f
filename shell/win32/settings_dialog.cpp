// The Win32 settings dialog. It owns the drawing only: the controls of
// shell/core/settings_form.h's rows made inside the IDD_SETTINGS frame, Browse through the
// common file dialogs in UTF-16, and the messages of the dialog manager. What the dialog does
// (the file read, the profile chosen, each value checked as it is typed, the save) is
// shell/core/settings_controller.h's, to which every change is forwarded.
#include "shell/win32/settings_dialog.h"

#include <cderr.h>
#include <commdlg.h>

#include <algorithm>
#include <vector>

#include "config/merchant_settings.h"
#include "shell/core/settings_controller.h"
#include "shell/core/settings_form.h"
#include "shell/core/texts.h"
#include "shell/win32/resources/resource.h"
#include "shell/win32/win_util.h"

namespace quillmark::win32 {
namespace {

using shell::SettingRows;

struct State {
  shell::SettingsController controller;
  HWND previous = nullptr;  // the control made last, for the tab order
  bool showing = false;     // the boxes are being filled, not typed in
};

std::wstring ItemText(HWND dialog, int id) {
  HWND item = GetDlgItem(dialog, id);
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(item)) + 1, L'\0');
  GetWindowTextW(item, text.data(), static_cast<int>(text.size()));
  text.resize(text.size() - 1);
  return text;
}

int EditId(std::size_t row) { return shell::kSettingEditIdBase + static_cast<int>(row); }

// A child control at `du`, with the dialog's font, after the last one in the tab order.
HWND Make(HWND dialog, State& state, const wchar_t* windowClass, DWORD style, DWORD exStyle,
          const std::string& text, int id, const shell::layout::Rect& du) {
  RECT r{du.x, du.y, du.x + du.cx, du.y + du.cy};
  MapDialogRect(dialog, &r);
  HWND child = CreateWindowExW(
      exStyle, windowClass, Wide(text).c_str(), WS_CHILD | WS_VISIBLE | style, r.left, r.top,
      r.right - r.left, r.bottom - r.top, dialog, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
      GetModuleHandleW(nullptr), nullptr);
  SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(SendMessageW(dialog, WM_GETFONT, 0, 0)),
               FALSE);
  SetWindowPos(child, state.previous != nullptr ? state.previous : HWND_TOP, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  state.previous = child;
  return child;
}

// Row `i`'s control holding `value`: a choice row's list selects it, added when it is none
// of the choices (or a profile's empty one, which inherits), so that its note can say why.
void ShowValue(HWND dialog, std::size_t i, const std::string& value) {
  if (SettingRows()[i].kind != shell::SettingKind::kChoice) {
    SetDlgItemTextW(dialog, EditId(i), Wide(value).c_str());
    return;
  }
  const std::wstring text = Wide(value);
  const LPARAM item = reinterpret_cast<LPARAM>(text.c_str());
  LRESULT at =
      SendDlgItemMessageW(dialog, EditId(i), CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), item);
  if (at == CB_ERR) at = SendDlgItemMessageW(dialog, EditId(i), CB_ADDSTRING, 0, item);
  SendDlgItemMessageW(dialog, EditId(i), CB_SETCURSEL, static_cast<WPARAM>(at), 0);
}

// A choice row's drop-down list, holding `value` (also when it is none of the choices, so
// that its note can say why). Its rectangle reaches below the box: a combo box's height is
// that of its list when it is dropped down.
void MakeChoice(HWND dialog, State& state, const shell::SettingRow& row, std::size_t i,
                shell::layout::Rect du, const std::string& value) {
  du.cy += 12 * static_cast<int>(row.choices.size() + 1);
  HWND combo = Make(dialog, state, L"COMBOBOX", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0, "",
                    EditId(i), du);
  for (const std::string& choice : row.choices) {
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(choice).c_str()));
  }
  ShowValue(dialog, i, value);
}

// The chooser's label and drop-down list, its entries from the description, the section
// shown chosen. The list's rectangle reaches below the box, as far as it drops down.
void MakeProfileChooser(HWND dialog, State& state) {
  Make(dialog, state, L"STATIC", SS_LEFT | SS_NOPREFIX, 0, shell::texts::kProfileLabel,
       shell::kSettingsProfileLabelId, shell::SettingsProfileLabelRect());
  shell::layout::Rect list = shell::SettingsProfileRect();
  list.cy += 120;
  HWND chooser = Make(dialog, state, L"COMBOBOX", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0, "",
                      shell::kSettingsProfileId, list);
  for (const std::string& choice : state.controller.ProfileChoices()) {
    SendMessageW(chooser, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(choice).c_str()));
  }
  SendMessageW(chooser, CB_SETCURSEL, state.controller.ProfileIndex(), 0);
}

// The dialog at the description's size, and its controls, the boxes holding the values.
void MakeControls(HWND dialog, State& state) {
  const shell::layout::Size size = shell::SettingsDialogSize();
  RECT frame{0, 0, size.cx, size.cy};
  MapDialogRect(dialog, &frame);
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(dialog, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrW(dialog, GWL_EXSTYLE)));
  SetWindowPos(dialog, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  constexpr DWORD kText = SS_LEFT | SS_NOPREFIX;
  Make(dialog, state, L"STATIC", kText, 0, state.controller.FileCaption(), shell::kSettingsFileId,
       shell::SettingsFileRect());
  MakeProfileChooser(dialog, state);
  for (std::size_t i = 0; i < SettingRows().size(); ++i) {
    const shell::SettingRow& row = SettingRows()[i];
    const shell::SettingRowRects rects = shell::SettingRowRectsOf(i);
    const int index = static_cast<int>(i);
    Make(dialog, state, L"STATIC", kText, 0, row.label, shell::kSettingLabelIdBase + index,
         rects.label);
    const DWORD secret = row.kind == shell::SettingKind::kSecret ? ES_PASSWORD : 0;
    if (row.kind == shell::SettingKind::kChoice) {
      MakeChoice(dialog, state, row, i, rects.edit, state.controller.Value(i));
    } else {
      Make(dialog, state, L"EDIT", ES_AUTOHSCROLL | WS_TABSTOP | secret, WS_EX_CLIENTEDGE,
           state.controller.Value(i), EditId(i), rects.edit);
    }
    if (row.browse()) {
      Make(dialog, state, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0, shell::kBrowseCaption,
           shell::kSettingBrowseIdBase + index, rects.browse);
    }
    Make(dialog, state, L"STATIC", kText, 0, "", shell::kSettingNoteIdBase + index, rects.note);
  }
  Make(dialog, state, L"STATIC", kText, 0, state.controller.Status(), shell::kSettingsStatusId,
       shell::SettingsStatusRect());
  Make(dialog, state, L"BUTTON", BS_DEFPUSHBUTTON | WS_TABSTOP, 0, shell::texts::kSave, IDOK,
       shell::SettingsSaveRect());
  Make(dialog, state, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0, shell::texts::kCancel, IDCANCEL,
       shell::SettingsCancelRect());
}

// Each row's note under its box, and Save pressable only when every value passes its rule.
void ShowNotes(HWND dialog, const State& state) {
  for (std::size_t i = 0; i < SettingRows().size(); ++i) {
    SetDlgItemTextW(dialog, shell::kSettingNoteIdBase + static_cast<int>(i),
                    Wide(state.controller.Note(i).text).c_str());
  }
  EnableWindow(GetDlgItem(dialog, IDOK), state.controller.CanSave());
}

// "PEM (*.pem *.crt)\0*.pem;*.crt\0...\0\0", as the common dialogs take a chooser list.
std::wstring WinFilter(const std::vector<shell::FileFilter>& filters) {
  std::wstring list;
  for (const shell::FileFilter& filter : filters) {
    std::wstring patterns = Wide(filter.patterns);
    for (wchar_t& c : patterns) c = c == L' ' ? L';' : c;
    list += Wide(filter.name + " (" + filter.patterns + ")") + L'\0' + patterns + L'\0';
  }
  return list + L'\0';
}

// Browse beside row `i`: the file chosen, as UTF-16 from the common dialog, goes in its box.
void Browse(HWND dialog, std::size_t i) {
  const shell::SettingRow& row = SettingRows()[i];
  const std::wstring filter = WinFilter(row.filters);
  std::wstring path = ItemText(dialog, EditId(i));
  path.resize(32768, L'\0');  // the longest path Windows takes
  OPENFILENAMEW chooser{};
  chooser.lStructSize = sizeof chooser;
  chooser.hwndOwner = dialog;
  chooser.lpstrFilter = row.filters.empty() ? nullptr : filter.c_str();
  chooser.lpstrFile = path.data();
  chooser.nMaxFile = static_cast<DWORD>(path.size());
  chooser.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST;
  const bool read = row.kind == shell::SettingKind::kFileToRead;
  chooser.Flags |= read ? OFN_FILEMUSTEXIST : OFN_OVERWRITEPROMPT;
  BOOL chosen = read ? GetOpenFileNameW(&chooser) : GetSaveFileNameW(&chooser);
  if (!chosen && CommDlgExtendedError() == FNERR_INVALIDFILENAME) {
    path.assign(path.size(), L'\0');  // a box that names no file opens the chooser empty
    chosen = read ? GetOpenFileNameW(&chooser) : GetSaveFileNameW(&chooser);
  }
  if (chosen) SetDlgItemTextW(dialog, EditId(i), path.c_str());
}

// The section of the profile chosen in the list, read from the file again.
void ShowProfile(HWND dialog, State& state) {
  const LRESULT index = SendDlgItemMessageW(dialog, shell::kSettingsProfileId, CB_GETCURSEL, 0, 0);
  state.controller.ChooseProfile(index < 0 ? 0 : static_cast<std::size_t>(index));
  state.showing = true;
  for (std::size_t i = 0; i < SettingRows().size(); ++i) {
    ShowValue(dialog, i, state.controller.Value(i));
  }
  state.showing = false;
  SetDlgItemTextW(dialog, shell::kSettingsStatusId, Wide(state.controller.Status()).c_str());
  ShowNotes(dialog, state);
}

bool OnCommand(HWND dialog, State& state, WPARAM wParam) {
  const int id = LOWORD(wParam);
  if (id == shell::kSettingsProfileId) {
    if (HIWORD(wParam) == CBN_SELCHANGE) ShowProfile(dialog, state);
    return true;
  }
  const int edit = id - shell::kSettingEditIdBase;
  if (HIWORD(wParam) == EN_CHANGE || HIWORD(wParam) == CBN_SELCHANGE) {
    if (!state.showing && edit >= 0 && static_cast<std::size_t>(edit) < SettingRows().size()) {
      state.controller.SetValue(static_cast<std::size_t>(edit), Utf8(ItemText(dialog, id)));
      ShowNotes(dialog, state);
    }
    return true;
  }
  const int browse = id - shell::kSettingBrowseIdBase;
  if (browse >= 0 && static_cast<std::size_t>(browse) < SettingRows().size()) {
    Browse(dialog, static_cast<std::size_t>(browse));
    return true;
  }
  if (id == IDOK) {
    std::string error;
    if (state.controller.Save(error)) {
      EndDialog(dialog, IDOK);
    } else {
      SetDlgItemTextW(dialog, shell::kSettingsStatusId, Wide(state.controller.Status()).c_str());
    }
    return true;
  }
  if (id == IDCANCEL) {
    EndDialog(dialog, IDCANCEL);
    return true;
  }
  return false;
}

INT_PTR CALLBACK SettingsProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<State*>(GetWindowLongPtrW(dialog, DWLP_USER));
  if (message == WM_INITDIALOG) {
    state = reinterpret_cast<State*>(lParam);
    SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    MakeControls(dialog, *state);
    CenterWindow(dialog, GetWindow(dialog, GW_OWNER));
    ShowNotes(dialog, *state);
    // The template has no controls to give the focus to: the first box takes it.
    SetFocus(GetDlgItem(dialog, EditId(0)));
    return FALSE;
  }
  if (message == WM_COMMAND && state != nullptr) return OnCommand(dialog, *state, wParam);
  return FALSE;
}

}  // namespace

bool RunSettingsDialog(HWND owner, const std::string& file, std::string& profile) {
  State state{shell::SettingsController(file, profile, ProcessEnvironment())};
  if (DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_SETTINGS), owner,
                      &SettingsProc, reinterpret_cast<LPARAM>(&state)) != IDOK) {
    return false;
  }
  profile = state.controller.Profile();
  return true;
}

}  // namespace quillmark::win32
