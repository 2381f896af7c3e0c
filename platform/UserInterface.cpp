#include "UserInterface.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "FileNames.h"

namespace platform {

namespace {

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }

// Reads one answer line from the terminal; false at end of input.
bool ReadAnswer(std::string& line) {
  if (!std::getline(std::cin, line)) return false;
  return true;
}

ConsoleUserInterface& DefaultUI() {
  static ConsoleUserInterface ui;
  return ui;
}

IUserInterface* g_installed = nullptr;

}  // namespace

TModalResult ConsoleUserInterface::MessageBox(const std::string& text, const std::string& caption,
                                              TMsgButtons buttons) {
  std::cerr << caption << ": " << text;
  if (buttons == TMsgButtons::Ok) {
    std::cerr << '\n';
    return TModalResult::Ok;
  }
  if (!StdinIsTerminal()) {
    std::cerr << " [y/N] n (no terminal)\n";
    return TModalResult::No;
  }
  std::cerr << " [y/N] " << std::flush;
  std::string line;
  if (!ReadAnswer(line)) return TModalResult::No;
  return (!line.empty() && (line[0] == 'y' || line[0] == 'Y')) ? TModalResult::Yes
                                                               : TModalResult::No;
}

bool ConsoleUserInterface::OpenFileDialog(const TOpenDialogOptions& options, std::string& chosen) {
  if (!StdinIsTerminal()) return false;
  std::cerr << (options.Title.empty() ? std::string("Open") : options.Title) << " ("
            << options.Filter << "): " << std::flush;
  std::string line;
  if (!ReadAnswer(line) || line.empty()) return false;
  chosen = line;
  return true;
}

bool ConsoleUserInterface::SelectDirectory(const TSelectDirOptions& options,
                                           std::string& directory) {
  if (!StdinIsTerminal()) return false;
  std::cerr << options.Caption << " [" << directory << "]: " << std::flush;
  std::string line;
  if (!ReadAnswer(line)) return false;
  if (!line.empty()) directory = line;
  if (!DirectoryExists(directory) && options.AllowCreate) {
    if (options.PromptBeforeCreate &&
        MessageBox("The specified directory does not exist. Create it?", options.Caption,
                   TMsgButtons::YesNo) != TModalResult::Yes)
      return false;
    if (!CreateDirectories(directory)) return false;
  }
  return true;
}

void ConsoleUserInterface::ShowError(const std::string& message) {
  std::cerr << message << std::endl;
}

IUserInterface& UI() { return g_installed ? *g_installed : DefaultUI(); }

IUserInterface* SetUserInterface(IUserInterface* ui) {
  IUserInterface* previous = g_installed;
  g_installed = ui;
  return previous;
}

}  // namespace platform
