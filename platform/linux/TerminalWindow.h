// The status window of the Linux build: the terminal.
//
// On a terminal each change of the status line prints its text in its colour
// (24-bit ANSI). Anywhere else (a pipe, a file, a test) each change prints one
// line "status #RRGGBB <text>", and a message box prints one line
// "message <title>: <text>". Input is waited for only from a terminal.
#pragma once

#include <cstdio>
#include <string>

#include "platform/Platform.h"
#include "platform/WebColour.h"

namespace pellarion {

class TerminalWindow {
 public:
  TerminalWindow(std::FILE* out, bool outIsTerminal, std::FILE* in, bool inIsTerminal);

  void Show(const StatusLine& line);
  void Update(const StatusLine& line);
  void Message(const std::string& text, const std::string& title);
  // Waits for Enter when input comes from a terminal; returns at once otherwise.
  void WaitForClose();
  void Flush();

 private:
  void Print(const StatusLine& line);
  void WaitForEnter();

  std::FILE* out_;
  bool outIsTerminal_;
  std::FILE* in_;
  bool inIsTerminal_;
};

}  // namespace pellarion
