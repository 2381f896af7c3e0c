#pragma once
// The main window: asks for the game list file, lists the games, shows the selected game's
// details and screenshots, narrows the list to present games, and launches the emulator.
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "GameList.h"
#include "UserInterface.h"

namespace Ui {
class TForm1;
}
class QLabel;
class QFrame;
class QListWidget;
class QCheckBox;
class QLineEdit;
class QPushButton;

namespace unzip {
class TUnZipper;
}

namespace launcher {

class TLabel;

// The open-file dialog of the window's layout; it runs through the user-interface services.
struct TOpenDialog {
  std::string Filter = "ROM list (*.ROM)|*.ROM";
  std::string DefaultExt = "ROM";
  std::string InitialDir;
  std::string FileName;
  // True and FileName set when the user chose a file.
  bool Execute();
};

class TForm1 : public QWidget, private IGameListView {
  Q_OBJECT
public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // Event handlers, by the names the layout binds them to. Each may raise: the window's
  // wiring runs them through RunHandler, which shows the error.
  void FormShow();
  void ListBox1Click();
  void CheckBox2Click();
  void BitBtn1Click();
  void Label2Click();

  // The held game list file name and current game.
  const TGameListState& State() const { return GameList; }

  // The controls of the layout.
  QLabel* Image1;
  QLabel* Image2;
  QLabel* Image3;
  QFrame* Bevel1;
  QLabel* Label1;
  TLabel* Label2;
  QLabel* Label3;
  QListWidget* ListBox1;
  QCheckBox* CheckBox1;
  QLineEdit* Edit3;
  QLineEdit* Edit2;
  QPushButton* BitBtn1;
  QCheckBox* CheckBox2;
  TOpenDialog Open;
  // The ZIP component, for the whole run: every entry is extracted, everything else at the
  // component's defaults (overwrite after asking, files straight into the destination).
  std::unique_ptr<unzip::TUnZipper> Unzipper;

  // A game list named on the command line: opened at once by FormShow, without the dialog.
  std::string ListFromCommandLine;

  // True while an unpacking runs.
  bool Unpacking() const { return FUnpacking; }

protected:
  void showEvent(QShowEvent* e) override;
  // Refuses mouse and keyboard input to the list, the filter box and the launch button
  // while an unpacking runs.
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  // IGameListView
  void AddRow(const std::string& text) override;
  void ClearRows() override;
  int SelectedRow() const override;
  bool PresentOnly() const override;
  void SetRomPathText(const std::string& text) override;
  void SetCommandText(const std::string& text) override;
  void SetDestinationText(const std::string& text) override;

  // The unpacking step of a launch with "Zip support" checked. False when entries failed
  // and the user chose not to start the emulator.
  bool UnpackCurrentGame();
  // Raises an error that says why and what to do when the emulator cannot be started, or a
  // destination lies on a drive that maps to no folder.
  static void CheckProgramCanStart(const std::string& program);
  static void CheckDriveExists(const std::string& name, const std::string& what);
  // Loads a picture file into a picture box (decoder by extension, stretched when the box
  // stretches).
  static void LoadPicture(QLabel* box, const std::string& name);

  Ui::TForm1* Form;
  TGameListState GameList;
  bool ShowHandled = false;
  bool FUnpacking = false;
  bool Centred = false;
  // The entries of the unpacking under way that failed, each with the reason.
  std::vector<std::string> UnpackFailures;
  // The user cancelled the password prompt: not asked again during this unpacking.
  bool PasswordRefused = false;
};

// The main window, set by the program at start-up.
extern TForm1* Form1;

}  // namespace launcher
