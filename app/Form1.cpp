#include "app/Form1.h"

#include <utility>

#if !defined(PELLARION_UPDATE_HOST) || !defined(PELLARION_UPDATE_SCHEME)
#error "the build names the update server in PELLARION_UPDATE_SCHEME and PELLARION_UPDATE_HOST"
#endif

namespace pellarion {

namespace {

constexpr const char* kLabel1Default = "الرجاء الانتظار قليلا .. جاري التحديث";
constexpr Colour kLabel1DesignColour = 0xFF8080;

std::size_t Index(Field field) { return static_cast<std::size_t>(field); }

}  // namespace

DefaultUrls DefaultUrls::ForHost(const std::string& host) {
  // A host that names its scheme keeps it; a bare one takes the build's.
  const std::string base = host.find("://") != std::string::npos ? host : PELLARION_UPDATE_SCHEME "://" + host;
  return {base + "/update/update.txt", base + "/update/update.bin",
          base + "/update/Pellarion.bin"};
}

DefaultUrls DefaultUrls::FromEnvironment(const char* serverOverride) {
  if (serverOverride != nullptr && *serverOverride != '\0') {
    return ForHost(serverOverride);
  }
  return ForHost(PELLARION_UPDATE_HOST);
}

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

Form1::Form1(Platform& platform, DefaultUrls urls)
    : platform_(platform), label1_{kLabel1Default, kLabel1DesignColour} {
  fields_[Index(Field::CU)] = "0";
  fields_[Index(Field::NU)] = "0";
  fields_[Index(Field::UL)] = std::move(urls.manifest);
  fields_[Index(Field::Upd)] = std::move(urls.updater);
  fields_[Index(Field::txtFrom)] = std::move(urls.application);
}

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

std::string Form1::GetFieldText(Field field) const { return fields_[Index(field)]; }

void Form1::SetFieldText(Field field, const std::string& text) {
  fields_[Index(field)] = text;
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
