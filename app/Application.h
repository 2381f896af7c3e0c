#pragma once
// The application object. Handlers run through RunHandler already; this is the last line
// for anything else that raises inside the message loop, so an error never ends the
// program and is shown in the standard error box like any other.
#include <QApplication>

namespace launcher {

class TApplication : public QApplication {
public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace launcher
