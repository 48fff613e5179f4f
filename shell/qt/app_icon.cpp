// The program's icon of app_icon.h, read from the Qt resources.
#include "shell/qt/app_icon.h"

#include <QString>

// The icons are compiled into the static shell library, where nothing refers to their
// registration code and the linker would drop it; calling it here keeps it. The macro
// declares a global function, so it must be used outside any namespace, the unnamed one
// included.
static void RegisterShellResources() { Q_INIT_RESOURCE(quillmark); }

namespace quillmark::shell {

QIcon LoadAppIcon() {
  RegisterShellResources();
  QIcon icon;
  for (int size : {16, 32, 48}) {
    icon.addFile(QStringLiteral(":/quillmark/icon-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

}  // namespace quillmark::shell
