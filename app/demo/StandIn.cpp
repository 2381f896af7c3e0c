// Stands in for the emulator in the demo: shows the parameter it was started with, and
// appends it to "varnix95.log" beside itself, so a launch can be checked without a display.
#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QTextStream>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char* argv[]) {
  QString parameters;
  for (int i = 1; i < argc; ++i) parameters += (i > 1 ? " | " : "") + QString::fromLocal8Bit(argv[i]);
  QFile log(QFileInfo(QString::fromLocal8Bit(argv[0])).absolutePath() + "/varnix95.log");
  if (log.open(QIODevice::Append | QIODevice::Text)) {
    QTextStream(&log) << QDateTime::currentDateTime().toString(Qt::ISODate) << " started with "
                      << (argc > 1 ? "[" + parameters + "]" : QString("no parameter")) << "\n";
  }
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    return 0;
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle("VARNIX 95 (demo stand-in)");
  auto* layout = new QVBoxLayout(&window);
  auto* title = new QLabel("VARNIX 95 arcade-board emulator\n(stand-in for the demo)");
  title->setAlignment(Qt::AlignCenter);
  auto* shown = new QLabel(argc > 1 ? "Started with game: " + parameters : QString("Started with no parameter"));
  shown->setAlignment(Qt::AlignCenter);
  shown->setStyleSheet("font: bold 16px \"Arial\"; color: #22e5ff; background: black; padding: 12px;");
  layout->addWidget(title);
  layout->addWidget(shown);
  window.resize(420, 140);
  window.show();
  return app.exec();
}
