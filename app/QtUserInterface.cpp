#include "QtUserInterface.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>

#include "Controls.h"
#include "FileNames.h"

namespace launcher {

namespace {

QWidget* Owner() { return QApplication::activeWindow(); }

// "*.ROM" -> "*.ROM *.rom": QFileDialog matches case-sensitively on this host.
QString BothCases(const QString& patterns) {
  QStringList out;
  for (const QString& p : patterns.split(';', Qt::SkipEmptyParts)) {
    const QString t = p.trimmed();
    for (const QString& v : {t, t.toLower(), t.toUpper()})
      if (!out.contains(v)) out << v;
  }
  return out.join(' ');
}

}  // namespace

QStringList QtNameFilters(const std::string& filter) {
  const QStringList parts = Q(filter).split('|');
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString description = parts[i].trimmed();
    // The description often repeats its pattern in brackets already; Qt takes the patterns
    // from the last brackets, so they are replaced by the full set.
    const qsizetype open = description.lastIndexOf('(');
    if (open > 0 && description.endsWith(')')) description = description.left(open).trimmed();
    out << description + " (" + BothCases(parts[i + 1]) + ")";
  }
  return out;
}

platform::TModalResult QtUserInterface::MessageBox(const std::string& text, const std::string& caption,
                                                   platform::TMsgButtons buttons) {
  if (buttons == platform::TMsgButtons::Ok) {
    QMessageBox::information(Owner(), Q(caption), Q(text));
    return platform::TModalResult::Ok;
  }
  const auto answer = QMessageBox::question(Owner(), Q(caption), Q(text),
                                            QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
  return answer == QMessageBox::Yes ? platform::TModalResult::Yes : platform::TModalResult::No;
}

void QtUserInterface::ProcessMessages() { QApplication::processEvents(); }

void QtUserInterface::SetBusyCursor(bool busy) {
  if (busy)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
}

bool QtUserInterface::OpenFileDialog(const platform::TOpenDialogOptions& options, std::string& chosen) {
  QFileDialog dialog(Owner(), Q(options.Title));
  // Qt's own dialog: the same on every desktop, and it works without one (Xvfb).
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setNameFilters(QtNameFilters(options.Filter));
  dialog.setDefaultSuffix(Q(options.DefaultExt));
  if (!options.InitialDir.empty()) dialog.setDirectory(Q(platform::HostPath(options.InitialDir)));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
  const QFileInfo file(dialog.selectedFiles().first());
  // As on Windows, the chosen file's folder becomes the current directory.
  QDir::setCurrent(file.absolutePath());
  chosen = S(file.absoluteFilePath());
  return true;
}

bool QtUserInterface::SelectDirectory(const platform::TSelectDirOptions& options, std::string& directory) {
  QFileDialog dialog(Owner(), Q(options.Caption));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(options.AllowCreate ? QFileDialog::AnyFile : QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  if (!directory.empty()) dialog.setDirectory(Q(platform::HostPath(directory)));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
  const std::string picked = S(dialog.selectedFiles().first());
  if (!platform::DirectoryExists(picked)) {
    if (!options.AllowCreate) return false;
    if (options.PromptBeforeCreate &&
        MessageBox("The specified directory does not exist. Create it?", options.Caption,
                   platform::TMsgButtons::YesNo) != platform::TModalResult::Yes)
      return false;
    if (!platform::CreateDirectories(picked)) return false;
  }
  directory = picked;
  return true;
}

void QtUserInterface::ShowError(const std::string& message) {
  QMessageBox::critical(Owner(), QApplication::applicationName(), Q(message));
}

bool QtUserInterface::PasswordQuery(const std::string& caption, const std::string& prompt,
                                    std::string& password) {
  bool ok = false;
  const QString text = QInputDialog::getText(Owner(), Q(caption), Q(prompt), QLineEdit::Password, QString(), &ok);
  if (ok) password = S(text);
  return ok;
}

}  // namespace launcher
