// The program's icon (resource 128), from the shell's Qt resources.
#pragma once

#include <QIcon>

namespace quillmark::shell {

// The icon with its 16, 32 and 48 pixel images. Each call reads the resource anew:
// a dialog loads it once and keeps it.
QIcon LoadAppIcon();

}  // namespace quillmark::shell
