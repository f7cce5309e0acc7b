// Form1: the updater's one window, as the user sees it: its title, its
// position and the status line (Label1), text and colour. Drawing is the
// platform's job: Form1 keeps the model and tells the platform what changed
// once the window is shown.
#pragma once

#include <string>

#include "platform/Platform.h"

namespace pellarion {

// Colours the run sets on the status line (&H00BBGGRR).
inline constexpr Colour kBlue = 0xFF0000;
inline constexpr Colour kGreen = 0x00FF00;
inline constexpr Colour kRed = 0x0000FF;

// The design of the window, as the platform draws it.
const WindowDesign& Form1Design();

class Form1 {
 public:
  explicit Form1(Platform& platform);

  // Replaces the whole text of Label1.
  void SetStatusText(const std::string& text);
  // Replaces the text colour of Label1; it stays until the next call.
  void SetStatusColour(Colour colour);
  // Both at once: the user sees one change. A change to what is already
  // shown is none, and is not drawn again.
  void SetStatus(Colour colour, const std::string& text);
  // Shows the window without waiting; from now on label changes are visible.
  void ShowStatusWindow();

  const StatusLine& Status() const { return label1_; }
  bool Shown() const { return shown_; }

 private:
  void StatusChanged();

  Platform& platform_;
  StatusLine label1_;
  bool shown_ = false;
};

}  // namespace pellarion
