// The terminal that stands in for the status window on Linux.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "app/Form1.h"
#include "platform/linux/TerminalWindow.h"

namespace pellarion {
namespace {

// What the terminal window prints: coloured text on a terminal, one plain
// line per change elsewhere.
std::string Printed(bool terminal, const std::function<void(TerminalWindow&)>& draw) {
  std::FILE* out = std::tmpfile();
  TerminalWindow window(out, terminal, stdin, /*inIsTerminal=*/false);
  draw(window);
  std::rewind(out);
  std::string text;
  for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) text.push_back(static_cast<char>(c));
  std::fclose(out);
  return text;
}

TEST(TerminalWindowTest, PrintsEachChangeInItsColour) {
  const auto draw = [](TerminalWindow& w) {
    w.Show({"أ", kBlue});
    w.Update({"ب", kGreen});
    w.Message("تمت", "Osmerin Pellarion Updater");
  };
  EXPECT_EQ(Printed(false, draw),
            "status #0000FF أ\nstatus #00FF00 ب\nmessage Osmerin Pellarion Updater: تمت\n");
  EXPECT_EQ(Printed(true, draw),
            "\x1b[1;38;2;0;0;255mأ\x1b[0m\n\x1b[1;38;2;0;255;0mب\x1b[0m\n"
            "message Osmerin Pellarion Updater: تمت\n");
}

}  // namespace
}  // namespace pellarion
