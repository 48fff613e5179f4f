// The settings file as the desktop programs' settings dialogs read and write it, beside the
// reader every program loads its settings with (merchant_settings.h): what the file alone
// says (the environment is not part of what is edited), and a save that never leaves the
// key in a file others can read or a reader a half-written file.
#pragma once

#include <string>

#include "payment/merchant_settings.h"

namespace quillmark {

// The merchant `file` describes, on top of the build's defaults. A file that does not
// exist gives the defaults; one that cannot be read or holds a bad value gives the
// defaults too, with the reason in `problem`.
MerchantSettings ReadSettingsFile(const std::string& file, std::string& problem);

// Writes `values` to `file` ([merchant] and one line per key), made readable by its owner
// only before the key goes in, by way of a temporary file beside it (made exclusively,
// under a name no one can foresee) renamed into place; the folder is created if needed. Every value must pass its rule. False, with the reason in `error`,
// when a value is bad or the file cannot be written; `file` is then left as it was.
bool SaveSettingsFile(const std::string& file, const MerchantSettings& values, std::string& error);

}  // namespace quillmark
