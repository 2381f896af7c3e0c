// The launcher's start-up: application object and title, the main window, the About window
// (hidden), and the message loop until the main window closes. One optional argument: a game
// list to open instead of asking for one.
#include <QApplication>
#include <QIcon>
#include <cstdio>

#include "About.h"
#include "Application.h"
#include "Jpeg.h"
#include "QtUserInterface.h"
#include "Unit1.h"

int main(int argc, char* argv[]) {
  // Qt would abort with a message about platform plug-ins; say what to do instead.
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    std::fprintf(stderr, "%s: no display to show the window on; run it under a virtual X server: "
                         "xvfb-run -a %s\n", argv[0], argv[0]);
    return 1;
  }
  launcher::TApplication app(argc, argv);
  QApplication::setApplicationName("Varnix support");
  QApplication::setWindowIcon(QIcon(":/Quorbin/Quorbin.png"));
  launcher::QtUserInterface ui;
  platform::ScopedUserInterface services(ui);
  // Before any window: the stored background picture is a JPEG.
  pictures::RegisterJpeg();

  launcher::TForm1 form1;
  launcher::Form1 = &form1;
  // Quorbin [GAMELIST]: a list named on the command line opens at once (Qt has taken its
  // own options out of argv by now).
  if (argc > 1) form1.ListFromCommandLine = argv[1];
  launcher::TForm2 form2(&form1);
  launcher::Form2 = &form2;
  form1.show();
  return app.exec();
}
