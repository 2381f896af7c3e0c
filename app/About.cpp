#include "About.h"

#include <QScreen>

#include "Controls.h"
#include "FmxUtils.h"
#include "Shell.h"
#include "ui_About.h"

namespace launcher {

TForm2* Form2 = nullptr;

TForm2::TForm2(QWidget* parent) : QDialog(parent), Form(new Ui::TForm2) {
  Form->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(333, 166);
  Label1 = Form->Label1;
  Label2 = Form->Label2;
  Label3 = Form->Label3;
  Label4 = Form->Label4;
  Label5 = Form->Label5;
  Label6 = Form->Label6;
  Label7 = Form->Label7;
  connect(Label5, &TLabel::Click, this, [this] { RunHandler([this] { Label5Click(); }); });
  connect(Label7, &TLabel::Click, this, [this] { RunHandler([this] { Label7Click(); }); });
}

TForm2::~TForm2() {
  if (Form2 == this) Form2 = nullptr;
  delete Form;
}

void TForm2::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (QScreen* s = screen()) move(s->availableGeometry().center() - QPoint(width() / 2, height() / 2));
}

// The browser by its Windows name, the link's own text as its command line; whether it
// starts is not our concern (the result is not looked at).
void TForm2::Label5Click() { LaunchFile("iexplore.exe", S(Label5->text()), std::string(), platform::SW_SHOWNORMAL); }
void TForm2::Label7Click() { LaunchFile("iexplore.exe", S(Label7->text()), std::string(), platform::SW_SHOWNORMAL); }

}  // namespace launcher
