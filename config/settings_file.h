// The settings file as the desktop programs' settings dialogs read and write it, beside the
// reader every program loads its settings with (merchant_settings.h): what the file alone
// says (the environment is not part of what is edited), one section at a time, and a save
// that never leaves the key in a file others can read or a reader a half-written file.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "config/merchant_settings.h"

namespace quillmark {

// The merchant `file` describes, on top of the build's defaults. A file that does not
// exist gives the defaults; one that cannot be read or holds a bad value gives the
// defaults too, with the reason in `problem`.
MerchantSettings ReadSettingsFile(const std::string& file, std::string& problem);

// One section of the file as a dialog shows it: [merchant] (`profile` empty) or
// [profile NAME]. Read as ReadSettingsFile reads; a profile the file lacks is a problem.
struct SettingsSection {
  std::vector<std::string> profiles;  // every [profile NAME] of the file, in its order
  MerchantSettings merchant;          // [merchant] over the build's defaults
  MerchantSettings values;            // the section's: merchant's, the profile's own over them
  std::set<std::string> own;          // the file keys the profile sets itself; none for [merchant]
};
SettingsSection ReadSettingsSection(const std::string& file, const std::string& profile,
                                    std::string& problem);

// Writes `values` to `file` ([merchant] and one line per key), made readable by its owner
// only before the key goes in, by way of a temporary file beside it (made exclusively,
// under a name no one can foresee) renamed into place; the folder is created if needed. Every value
// must pass its rule. False, with the reason in `error`, when a value is bad or the file cannot be
// written; `file` is then left as it was.
bool SaveSettingsFile(const std::string& file, const MerchantSettings& values, std::string& error);

// The same for one section: [merchant] when `profile` is empty (every key written), else
// [profile NAME], which keeps only the values that differ from [merchant]'s, the others
// inherited. The section's lines are edited where they are; every other line (comments,
// other sections and profiles) stays as it was. A new file starts with a comment and
// [merchant]; a profile the file lacks is added at its end. Refused, with the file left
// as it was, when the result would not load (a fault elsewhere in the file, named).
bool SaveSettingsSection(const std::string& file, const std::string& profile,
                         const MerchantSettings& values, std::string& error);

}  // namespace quillmark
