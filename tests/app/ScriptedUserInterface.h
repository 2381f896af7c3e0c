#pragma once
// User-interface services for the window tests: every dialog is answered from a script and
// every message is recorded, so no test ever waits for a person.
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "UserInterface.h"

class ScriptedUserInterface : public platform::IUserInterface {
public:
  // Answers of the open dialog, in order: a path, or nullopt for Cancel. When the script
  // runs out, the dialog is cancelled and the call counted in Unscripted.
  std::deque<std::optional<std::string>> OpenAnswers;
  std::deque<platform::TModalResult> MessageAnswers;
  std::deque<std::optional<std::string>> PasswordAnswers;  // nullopt: Cancel
  std::vector<std::string> PasswordPrompts;

  std::vector<platform::TOpenDialogOptions> OpenCalls;
  std::vector<std::string> Messages;  // "caption: text"
  std::vector<std::string> Errors;
  int Unscripted = 0;
  int ProcessMessagesCalls = 0;
  int BusyDepth = 0;
  // Runs whenever the component lets the window process its messages.
  std::function<void()> OnProcessMessages;

  platform::TModalResult MessageBox(const std::string& text, const std::string& caption,
                                    platform::TMsgButtons buttons) override {
    Messages.push_back(caption + ": " + text);
    if (buttons == platform::TMsgButtons::Ok) return platform::TModalResult::Ok;
    if (MessageAnswers.empty()) {
      ++Unscripted;
      return platform::TModalResult::No;
    }
    const auto a = MessageAnswers.front();
    MessageAnswers.pop_front();
    return a;
  }
  void ProcessMessages() override {
    ++ProcessMessagesCalls;
    if (OnProcessMessages) OnProcessMessages();
  }
  void SetBusyCursor(bool busy) override { BusyDepth += busy ? 1 : -1; }
  bool OpenFileDialog(const platform::TOpenDialogOptions& options, std::string& chosen) override {
    OpenCalls.push_back(options);
    if (OpenAnswers.empty()) {
      ++Unscripted;
      return false;
    }
    const auto a = OpenAnswers.front();
    OpenAnswers.pop_front();
    if (!a) return false;
    chosen = *a;
    // Like the platform's dialog: the chosen file's folder becomes the current directory.
    std::filesystem::current_path(std::filesystem::path(*a).parent_path());
    return true;
  }
  bool SelectDirectory(const platform::TSelectDirOptions&, std::string&) override {
    ++Unscripted;
    return false;
  }
  void ShowError(const std::string& message) override { Errors.push_back(message); }
  bool PasswordQuery(const std::string&, const std::string& prompt, std::string& password) override {
    PasswordPrompts.push_back(prompt);
    const auto a = PasswordAnswers.empty() ? std::nullopt : PasswordAnswers.front();
    if (!PasswordAnswers.empty()) PasswordAnswers.pop_front();
    if (a) password = *a;
    return a.has_value();
  }
};
