// The Win32 status window: a small white strip with a drawn frame and one
// line of bold Arabic text, painted by hand so that it reads right to left,
// aligns exactly at the right edge and wraps at word boundaries.
#pragma once

#include <windows.h>

#include <string>

#include "platform/Platform.h"
#include "platform/windows/ScopedWin.h"

namespace pellarion {

class StatusWindow {
 public:
  StatusWindow() = default;
  StatusWindow(const StatusWindow&) = delete;
  StatusWindow& operator=(const StatusWindow&) = delete;
  ~StatusWindow();

  // Creates and shows the window; fails when no window can be created.
  void Show(const WindowDesign& design, const StatusLine& line);
  void Update(const StatusLine& line);
  HWND Handle() const { return hwnd_; }
  // From now on the user may close the window; returns once it is closed.
  void RunUntilClosed();

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void Paint(HDC dc) const;
  int Px(int twips) const { return MulDiv(twips, dpi_, 1440); }

  WindowDesign design_;
  StatusLine line_;
  std::wstring text_;
  HWND hwnd_ = nullptr;
  ScopedGdiObject<HFONT> font_;
  int dpi_ = 96;
  bool closable_ = false;
};

}  // namespace pellarion
