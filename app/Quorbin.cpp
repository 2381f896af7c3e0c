// The launcher's start-up: application object and title, the main window, the About window
// (hidden), and the message loop until the main window closes.
#include <QApplication>
#include <QIcon>

#include "About.h"
#include "Application.h"
#include "Jpeg.h"
#include "QtUserInterface.h"
#include "Unit1.h"

int main(int argc, char* argv[]) {
  launcher::TApplication app(argc, argv);
  QApplication::setApplicationName("Varnix support");
  QApplication::setWindowIcon(QIcon(":/Quorbin/Quorbin.png"));
  launcher::QtUserInterface ui;
  platform::ScopedUserInterface services(ui);
  // Before any window: the stored background picture is a JPEG.
  pictures::RegisterJpeg();

  launcher::TForm1 form1;
  launcher::Form1 = &form1;
  launcher::TForm2 form2(&form1);
  launcher::Form2 = &form2;
  form1.show();
  return app.exec();
}
