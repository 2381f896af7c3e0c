#pragma once
// The user-interface services that the component and the front-end need, as one small
// interface. The library's default is a console implementation (no-op message processing,
// prompts on a terminal, "No" without one); the launcher installs a Qt one; tests install
// scripted ones so that no test ever blocks on a dialog.
#include <string>

namespace platform {

enum class TMsgButtons { Ok, YesNo };
enum class TModalResult { Ok, Yes, No, Cancel };

struct TOpenDialogOptions {
  std::string Title;             // empty: the platform's default title
  std::string Filter;            // "Description|*.ext|Other|*.x" pairs, as the framework writes them
  std::string DefaultExt;        // without the dot
  std::string InitialDir;        // Windows-style or host name
};

struct TSelectDirOptions {
  std::string Caption = "Select Directory";
  bool AllowCreate = true;       // the user may type a directory that does not exist
  bool PromptBeforeCreate = true;  // ask "The specified directory does not exist. Create it?"
};

class IUserInterface {
public:
  virtual ~IUserInterface() = default;

  // A modal message box; returns the button chosen.
  virtual TModalResult MessageBox(const std::string& text, const std::string& caption,
                                  TMsgButtons buttons) = 0;
  // Let the framework process all pending window messages once.
  virtual void ProcessMessages() = 0;
  // Show or restore the busy cursor (calls nest).
  virtual void SetBusyCursor(bool busy) = 0;
  // Run an open-file dialog; true and the chosen full path, or false when cancelled.
  // Like the platform's dialog, a successful choice makes the chosen file's folder the
  // current directory.
  virtual bool OpenFileDialog(const TOpenDialogOptions& options, std::string& chosen) = 0;
  // Run the select-directory dialog starting at `directory`; true and the chosen directory
  // (created when it did not exist and the user agreed), or false when cancelled.
  virtual bool SelectDirectory(const TSelectDirOptions& options, std::string& directory) = 0;
  // The framework's standard error message box for an unhandled error.
  virtual void ShowError(const std::string& message) = 0;
  // Asks for a password (not shown while it is typed); true and the text, or false when
  // cancelled. Without a way to ask, cancelled.
  virtual bool PasswordQuery(const std::string& /*caption*/, const std::string& /*prompt*/,
                             std::string& /*password*/) {
    return false;
  }
};

// Console default: messages and questions on the terminal (standard error / standard input);
// without a terminal every question is answered "No" / cancelled.
class ConsoleUserInterface : public IUserInterface {
public:
  TModalResult MessageBox(const std::string& text, const std::string& caption,
                          TMsgButtons buttons) override;
  void ProcessMessages() override {}
  void SetBusyCursor(bool) override {}
  bool OpenFileDialog(const TOpenDialogOptions& options, std::string& chosen) override;
  bool SelectDirectory(const TSelectDirOptions& options, std::string& directory) override;
  void ShowError(const std::string& message) override;
};

// The services in force. Never null: without an installed one, the console default.
IUserInterface& UI();
// Install `ui` (not owned; nullptr restores the console default). Returns the previous one
// installed (nullptr when it was the default).
IUserInterface* SetUserInterface(IUserInterface* ui);

// Installs a user interface for the lifetime of a scope (tests).
class ScopedUserInterface {
public:
  explicit ScopedUserInterface(IUserInterface& ui) : Previous(SetUserInterface(&ui)) {}
  ~ScopedUserInterface() { SetUserInterface(Previous); }
  ScopedUserInterface(const ScopedUserInterface&) = delete;
  ScopedUserInterface& operator=(const ScopedUserInterface&) = delete;

private:
  IUserInterface* Previous;
};

}  // namespace platform
