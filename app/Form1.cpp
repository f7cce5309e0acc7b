#include "app/Form1.h"

namespace pellarion {

namespace {

constexpr const char* kLabel1Default = "الرجاء الانتظار قليلا .. جاري التحديث";
constexpr Colour kLabel1DesignColour = 0xFF8080;

}  // namespace

const WindowDesign& Form1Design() {
  static const WindowDesign design = [] {
    WindowDesign d;
    d.caption = "Osmerin Pellarion Updater";
    d.clientWidth = 6060;
    d.clientHeight = 750;
    d.background = 0xFFFFFF;
    d.label = {120, 120, 5775, 495};
    d.fontFace = "Arial";
    d.fontPointsTimes100 = 975;
    d.fontWeight = 700;
    d.fontCharset = 178;  // Arabic
    d.lines = {
        {6000, 720, 0, 720, 0xFF8080, 2},  // Line1, bottom edge, light blue
        {0, 0, 0, 720, 0xC00000, 1},       // Line2, left edge
        {0, 0, 6000, 0, 0xC00000, 1},      // Line3, top edge
        {6000, 0, 6000, 720, 0xC00000, 1}, // Line4, right edge
    };
    return d;
  }();
  return design;
}

Form1::Form1(Platform& platform) : platform_(platform), label1_{kLabel1Default, kLabel1DesignColour} {}

void Form1::SetStatusText(const std::string& text) {
  if (label1_.text == text) return;
  label1_.text = text;
  StatusChanged();
}

void Form1::SetStatusColour(Colour colour) {
  if (label1_.colour == colour) return;
  label1_.colour = colour;
  StatusChanged();
}

void Form1::SetStatus(Colour colour, const std::string& text) {
  if (label1_.colour == colour && label1_.text == text) return;
  label1_ = {text, colour};
  StatusChanged();
}

void Form1::ShowStatusWindow() {
  platform_.ShowStatusWindow(Form1Design(), label1_);
  shown_ = true;
}

void Form1::StatusChanged() {
  // Before the window is shown a change is only stored; the window shows the
  // label as it stands when it appears.
  if (shown_) platform_.UpdateStatus(label1_);
}

}  // namespace pellarion
