// quillmark: the desktop test tool. One dialog; Button1 runs an order cycle against the
// platform configured at build time, shows what it obtained and prints its progress to
// standard output.
#include "shell/quillmark_app.h"

int main(int argc, char** argv) {
  quillmark::CQuillmarkApp app(argc, argv);
  // StartApplication() runs the dialog to its end and says whether an event loop should
  // follow; for this program it never should.
  if (app.StartApplication()) return quillmark::CQuillmarkApp::exec();
  return 0;
}
