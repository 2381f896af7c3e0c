#include "Controls.h"

#include <QKeyEvent>
#include <QPainter>
#include <QStyleOptionButton>
#include <algorithm>
#include <exception>

#include "Exceptions.h"
#include "UserInterface.h"

namespace launcher {

void RunHandler(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const platform::Exception& e) {
    platform::UI().ShowError(e.Message);
  } catch (const std::bad_alloc&) {
    platform::UI().ShowError("Out of memory");
  } catch (const std::exception& e) {
    platform::UI().ShowError(e.what());
  }
}

QItemSelectionModel::SelectionFlags TListBox::selectionCommand(const QModelIndex& index,
                                                                const QEvent* event) const {
  const auto flags = QListWidget::selectionCommand(index, event);
  if (selectionModel()->selectedRows().isEmpty()) return flags;
  if (!index.isValid()) return QItemSelectionModel::NoUpdate;
  if (flags & (QItemSelectionModel::Deselect | QItemSelectionModel::Toggle))
    return QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows;
  return flags;
}

void TListBox::keyPressEvent(QKeyEvent* e) {
  if ((e->key() == Qt::Key_Down || e->key() == Qt::Key_Up) && e->modifiers() == Qt::NoModifier &&
      count() > 0 && selectionModel()->selectedRows().isEmpty()) {
    setCurrentRow(std::max(currentRow(), 0), QItemSelectionModel::ClearAndSelect);
    e->accept();
    return;
  }
  QListWidget::keyPressEvent(e);
}

void TCheckBox::paintEvent(QPaintEvent* e) {
  QCheckBox::paintEvent(e);
  QStyleOptionButton option;
  initStyleOption(&option);
  const QRect indicator = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);
  const int side = std::min({indicator.width(), indicator.height(), 13});
  const QRect box(indicator.left(), indicator.top() + (indicator.height() - side) / 2, side, side);
  QPainter p(this);
  p.fillRect(box, Qt::white);
  // The sunken edge: grey and dark grey on top and left, light grey and white below and right.
  p.setPen(QColor(0x80, 0x80, 0x80));
  p.drawLine(box.topLeft(), box.topRight());
  p.drawLine(box.topLeft(), box.bottomLeft());
  p.setPen(QColor(0x40, 0x40, 0x40));
  p.drawLine(box.topLeft() + QPoint(1, 1), box.topRight() + QPoint(-1, 1));
  p.drawLine(box.topLeft() + QPoint(1, 1), box.bottomLeft() + QPoint(1, -1));
  p.setPen(QColor(0xC0, 0xC0, 0xC0));
  p.drawLine(box.bottomLeft() + QPoint(1, -1), box.bottomRight() + QPoint(-1, -1));
  p.drawLine(box.topRight() + QPoint(-1, 1), box.bottomRight() + QPoint(-1, -1));
  if (isChecked()) {
    // The tick: a short stroke down to the right, a long one up, three pixels thick.
    const QPoint o = box.topLeft() + QPoint(side / 2 - 4, side / 2 - 1);
    p.setPen(Qt::black);
    for (int dy = 0; dy < 3; ++dy) {
      p.drawLine(o + QPoint(0, dy), o + QPoint(2, dy + 2));
      p.drawLine(o + QPoint(2, dy + 2), o + QPoint(6, dy - 2));
    }
  }
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

QString Shown(const std::string& s) {
  // Only the start is decoded: at most four bytes a character.
  const size_t bytes = static_cast<size_t>(kShownCharacters) * 4;
  QString text = QString::fromUtf8(s.data(), static_cast<qsizetype>(std::min(s.size(), bytes)));
  if (text.size() > kShownCharacters || s.size() > bytes) {
    text.truncate(kShownCharacters);
    if (text.back().isHighSurrogate()) text.chop(1);
    text += QChar(0x2026);
  }
  return text;
}
std::string S(const QString& s) { return s.toStdString(); }

}  // namespace launcher
