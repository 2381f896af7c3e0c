#include "Application.h"

#include "Controls.h"

namespace launcher {

bool TApplication::notify(QObject* receiver, QEvent* event) {
  bool handled = false;
  RunHandler([&] { handled = QApplication::notify(receiver, event); });
  return handled;
}

}  // namespace launcher
