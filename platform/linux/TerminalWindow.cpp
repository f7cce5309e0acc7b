#include "platform/linux/TerminalWindow.h"

namespace pellarion {

namespace {

int Red(Colour c) { return static_cast<int>(c & 0xFF); }
int Green(Colour c) { return static_cast<int>((c >> 8) & 0xFF); }
int Blue(Colour c) { return static_cast<int>((c >> 16) & 0xFF); }

}  // namespace

TerminalWindow::TerminalWindow(std::FILE* out, bool outIsTerminal, std::FILE* in, bool inIsTerminal)
    : out_(out), outIsTerminal_(outIsTerminal), in_(in), inIsTerminal_(inIsTerminal) {}

void TerminalWindow::Show(const StatusLine& line) { Print(line); }

void TerminalWindow::Update(const StatusLine& line) { Print(line); }

void TerminalWindow::Print(const StatusLine& line) {
  if (outIsTerminal_) {
    std::fprintf(out_, "\x1b[1;38;2;%d;%d;%dm%s\x1b[0m\n", Red(line.colour), Green(line.colour),
                 Blue(line.colour), line.text.c_str());
  } else {
    std::fprintf(out_, "status %s %s\n", WebColour(line.colour).c_str(), line.text.c_str());
  }
  std::fflush(out_);
}

void TerminalWindow::Message(const std::string& text, const std::string& title) {
  std::fprintf(out_, "message %s: %s\n", title.c_str(), text.c_str());
  std::fflush(out_);
  WaitForEnter();
}

void TerminalWindow::WaitForClose() { WaitForEnter(); }

void TerminalWindow::Flush() { std::fflush(out_); }

void TerminalWindow::WaitForEnter() {
  if (!inIsTerminal_) return;
  for (int c = std::fgetc(in_); c != EOF && c != '\n'; c = std::fgetc(in_)) {
  }
}

}  // namespace pellarion
