#pragma once
// The user-interface services through Qt's dialogs, installed by the program at start-up.
#include <QStringList>

#include "UserInterface.h"

namespace launcher {

class QtUserInterface : public platform::IUserInterface {
public:
  platform::TModalResult MessageBox(const std::string& text, const std::string& caption,
                                    platform::TMsgButtons buttons) override;
  void ProcessMessages() override;
  void SetBusyCursor(bool busy) override;
  bool OpenFileDialog(const platform::TOpenDialogOptions& options, std::string& chosen) override;
  bool SelectDirectory(const platform::TSelectDirOptions& options, std::string& directory) override;
  void ShowError(const std::string& message) override;
  bool PasswordQuery(const std::string& caption, const std::string& prompt, std::string& password) override;
};

// The framework's filter text ("ROM list (*.ROM)|*.ROM|...") as Qt name filters. Patterns
// match regardless of case, as they do on Windows.
QStringList QtNameFilters(const std::string& filter);

}  // namespace launcher
