#pragma once
// Small additions to Qt's widgets that the windows' layouts use.
#include <QLabel>
#include <QMouseEvent>
#include <functional>
#include <string>

namespace launcher {

// A label that reports a click (left button pressed and released on it).
class TLabel : public QLabel {
  Q_OBJECT
public:
  using QLabel::QLabel;

signals:
  void Click();

protected:
  void mousePressEvent(QMouseEvent* e) override {
    if (e->button() == Qt::LeftButton) Pressed = true;
    QLabel::mousePressEvent(e);
  }
  void mouseReleaseEvent(QMouseEvent* e) override {
    const bool click = Pressed && e->button() == Qt::LeftButton && rect().contains(e->position().toPoint());
    Pressed = false;
    QLabel::mouseReleaseEvent(e);
    if (click) emit Click();
  }

private:
  bool Pressed = false;
};

// Runs one event handler. An error it raises ends the handler and is shown in the standard
// error box; the window goes on as before.
void RunHandler(const std::function<void()>& handler);

// Text between the host's 8-bit strings (UTF-8 here) and Qt's.
QString Q(const std::string& s);
std::string S(const QString& s);

}  // namespace launcher
