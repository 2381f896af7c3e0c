#pragma once
// Questions on the terminal: the overwrite question and the password (read without echo).
// Answers come from standard input and only when it is a terminal, so a run from a script
// never waits for one; questions go to standard error, so -p output stays clean.
#include <string>
#include <string_view>

namespace cli {

enum class TOverwriteAnswer { Yes, No, All, None, Invalid };

// "y"/"yes" Yes, "n"/"no" No, "A"/"a"/"all" All, "N"/"none" None (the lone capital N is
// None, the lone small n is No); surrounding blanks ignored; anything else Invalid.
TOverwriteAnswer ParseOverwriteAnswer(std::string_view line);

// Ctrl-C, a hang-up or a polite kill set a flag rather than end the program, so that the
// work under way can stop cleanly; a second one ends the program at once.
void InstallInterruptHandlers();
bool Interrupted();

// True when standard input is a terminal.
bool InputIsTerminal();

// Writes `prompt` to standard error and reads one line from standard input, without its line
// end; with `echo` false the terminal does not show what is typed (and the line feed is
// written after it). False at the end of input, on an error, or when a signal cut the read
// short; the terminal's settings are restored in every case. An interruption that comes at
// any moment of the question, even before the read begins, ends it.
bool AskLine(const std::string& prompt, bool echo, std::string& line);

}  // namespace cli
