#pragma once
// The About window: names the program and its maker and offers two web links.
#include <QDialog>

namespace Ui {
class TForm2;
}

namespace launcher {

class TLabel;

class TForm2 : public QDialog {
  Q_OBJECT
public:
  explicit TForm2(QWidget* parent = nullptr);
  ~TForm2() override;

  void Label5Click();
  void Label7Click();

  TLabel* Label1;
  TLabel* Label2;
  TLabel* Label3;
  TLabel* Label4;
  TLabel* Label5;
  TLabel* Label6;
  TLabel* Label7;

protected:
  void showEvent(QShowEvent* e) override;

private:
  Ui::TForm2* Form;
};

// The About window, created hidden by the program at start-up.
extern TForm2* Form2;

}  // namespace launcher
