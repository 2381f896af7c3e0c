#pragma once
// Small additions to Qt's widgets that the windows' layouts use.
#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
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

// The list box: once a row was chosen, exactly one row stays selected (a Ctrl+click or
// Ctrl+Space on it does not clear it, nor does a click below the last row), and while none
// is selected the first Up or Down key selects the row with the focus mark (the first row)
// instead of moving past it.
class TListBox : public QListWidget {
  Q_OBJECT
public:
  using QListWidget::QListWidget;

protected:
  QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                       const QEvent* event) const override;
  void keyPressEvent(QKeyEvent* e) override;
};

// A check box that draws its box whatever the colours around it: white with a sunken edge,
// a black tick when checked, as on Windows. The style's own box is black on the black form.
class TCheckBox : public QCheckBox {
  Q_OBJECT
public:
  using QCheckBox::QCheckBox;

protected:
  void paintEvent(QPaintEvent* e) override;
};

// Runs one event handler. An error it raises ends the handler and is shown in the standard
// error box; the window goes on as before.
void RunHandler(const std::function<void()>& handler);

// Text between the host's 8-bit strings (UTF-8 here) and Qt's.
QString Q(const std::string& s);
std::string S(const QString& s);

// Text as a control shows it: at most kShownCharacters characters (a 20 MB line would make
// every repaint take seconds), an ellipsis after a cut.
inline constexpr qsizetype kShownCharacters = 300;
QString Shown(const std::string& s);

}  // namespace launcher
