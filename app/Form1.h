// Form1: the updater's one window. It holds the status line (Label1), the six
// fields the run uses as its working variables, and the run-wide variables of
// the manifest reader and the browser-cache purge (the bases ManifestVariables
// and DownloadVariables). Drawing is the platform's job:
// Form1 keeps the model and tells the platform what changed once the window is
// shown.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "app/BrowserCache.h"
#include "platform/Platform.h"
#include "versions/Manifest.h"

namespace pellarion {

// The run's hidden text fields.
enum class Field { CU, NU, UL, Upd, txtFrom, txtTo };

// Colours the run sets on the status line (&H00BBGGRR).
inline constexpr Colour kBlue = 0xFF0000;
inline constexpr Colour kGreen = 0x00FF00;
inline constexpr Colour kRed = 0x0000FF;

// The three URLs the fields UL, Upd and txtFrom hold by default.
struct DefaultUrls {
  std::string manifest;     // UL
  std::string updater;      // Upd
  std::string application;  // txtFrom

  // The build's scheme ("http" unless it says "https") + "://" + host + the
  // three fixed paths; a `host` that starts with its own scheme
  // ("https://host:port") keeps it.
  static DefaultUrls ForHost(const std::string& host);
  // The build's host, unless `serverOverride` (host, host:port or
  // scheme://host:port, from the environment) is non-empty.
  static DefaultUrls FromEnvironment(const char* serverOverride);
};

// The design of the window, as the platform draws it.
const WindowDesign& Form1Design();

class Form1 : public ManifestVariables, public DownloadVariables {
 public:
  Form1(Platform& platform, DefaultUrls urls);

  // Replaces the whole text of Label1.
  void SetStatusText(const std::string& text);
  // Replaces the text colour of Label1; it stays until the next call.
  void SetStatusColour(Colour colour);
  // Both at once: the user sees one change. A change to what is already
  // shown is none, and is not drawn again.
  void SetStatus(Colour colour, const std::string& text);
  std::string GetFieldText(Field field) const;
  void SetFieldText(Field field, const std::string& text);
  // Shows the window without waiting; from now on label changes are visible.
  void ShowStatusWindow();

  const StatusLine& Status() const { return label1_; }
  bool Shown() const { return shown_; }

 private:
  void StatusChanged();

  Platform& platform_;
  StatusLine label1_;
  std::array<std::string, 6> fields_;
  bool shown_ = false;
};

}  // namespace pellarion
