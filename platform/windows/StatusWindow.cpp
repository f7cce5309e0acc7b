#include "platform/windows/StatusWindow.h"

#include <vector>

#include "platform/windows/ScopedWin.h"
#include "platform/windows/WinText.h"

namespace pellarion {

namespace {

constexpr wchar_t kClassName[] = L"OsmerinPellarionUpdaterStatus";
constexpr int kIconId = 1;
// Where the design places the client area: 255 and 9960 twips from the
// screen's left and top.
constexpr int kDesignLeft = 255, kDesignTop = 9960;
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

// Splits `text` into lines no wider than `width`, breaking at spaces. A word
// wider than the line stands on a line of its own.
std::vector<std::wstring> WrapAtWords(HDC dc, const std::wstring& text, int width) {
  std::vector<std::wstring> lines;
  std::wstring current;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t space = text.find(L' ', pos);
    if (space == std::wstring::npos) space = text.size();
    const std::wstring word = text.substr(pos, space - pos);
    pos = space + 1;
    const std::wstring candidate = current.empty() ? word : current + L" " + word;
    SIZE size{};
    GetTextExtentPoint32W(dc, candidate.c_str(), static_cast<int>(candidate.size()), &size);
    if (size.cx <= width || current.empty()) {
      current = candidate;
    } else {
      lines.push_back(current);
      current = word;
    }
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

}  // namespace

StatusWindow::~StatusWindow() {
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

void StatusWindow::Show(const WindowDesign& design, const StatusLine& line) {
  design_ = design;
  line_ = line;
  text_ = Wide(line.text);
  const HINSTANCE instance = GetModuleHandleW(nullptr);

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &StatusWindow::Proc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconId));
  wc.hIconSm = wc.hIcon;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = nullptr;  // painted in WM_PAINT
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);  // fails harmlessly when already registered

  const HDC screen = GetDC(nullptr);
  dpi_ = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  if (dpi_ <= 0) dpi_ = 96;

  LOGFONTW lf{};
  lf.lfHeight = -MulDiv(design.fontPointsTimes100, dpi_, 7200);
  lf.lfWeight = design.fontWeight;
  lf.lfCharSet = static_cast<BYTE>(design.fontCharset);
  lf.lfQuality = CLEARTYPE_QUALITY;
  const std::wstring face = Wide(design.fontFace);
  lstrcpynW(lf.lfFaceName, face.c_str(), LF_FACESIZE);
  font_ = ScopedGdiObject<HFONT>(CreateFontIndirectW(&lf));

  RECT frame{0, 0, Px(design.clientWidth), Px(design.clientHeight)};
  AdjustWindowRectEx(&frame, kStyle, /*bMenu=*/FALSE, /*dwExStyle=*/0);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  // The design's place, kept inside the work area of smaller screens.
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  int x = Px(kDesignLeft) + frame.left;
  int y = Px(kDesignTop) + frame.top;
  if (x + width > work.right) x = work.right - width;
  if (y + height > work.bottom) y = work.bottom - height;
  if (x < work.left) x = work.left;
  if (y < work.top) y = work.top;

  hwnd_ = CreateWindowExW(/*dwExStyle=*/0, kClassName, Wide(design.caption).c_str(), kStyle, x, y,
                          width, height, /*hWndParent=*/nullptr, /*hMenu=*/nullptr, instance, this);
  if (hwnd_ == nullptr) FailWithLastError("cannot create the window", design.caption);
  ShowWindow(hwnd_, SW_SHOWNORMAL);
  UpdateWindow(hwnd_);
}

void StatusWindow::Update(const StatusLine& line) {
  line_ = line;
  text_ = Wide(line.text);
  // Painted at once, so that a text set just before a long step is what the
  // window shows during it.
  if (hwnd_ != nullptr) {
    InvalidateRect(hwnd_, nullptr, /*bErase=*/TRUE);
    UpdateWindow(hwnd_);
  }
}

void StatusWindow::RunUntilClosed() {
  if (hwnd_ == nullptr) return;
  closable_ = true;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

LRESULT CALLBACK StatusWindow::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    auto* self = static_cast<StatusWindow*>(create->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<StatusWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
  return self->Handle(message, wParam, lParam);
}

LRESULT StatusWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      const HDC dc = BeginPaint(hwnd_, &ps);
      Paint(dc);
      EndPaint(hwnd_, &ps);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;  // WM_PAINT fills the whole client area
    case WM_CLOSE:
      // While the run works (a file may be half swapped) the window stays;
      // once the run has returned, closing it ends the program.
      if (closable_) DestroyWindow(hwnd_);
      return 0;
    case WM_DESTROY:
      hwnd_ = nullptr;
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd_, message, wParam, lParam);
  }
}

void StatusWindow::Paint(HDC dc) const {
  RECT client;
  GetClientRect(hwnd_, &client);
  const ScopedGdiObject<HBRUSH> background(CreateSolidBrush(design_.background));
  FillRect(dc, &client, background.get());

  for (const FrameLine& line : design_.lines) {
    const ScopedGdiObject<HPEN> pen(CreatePen(PS_SOLID, line.widthPixels, line.colour));
    const ScopedSelect selected(dc, pen.get());
    MoveToEx(dc, Px(line.x1), Px(line.y1), nullptr);
    LineTo(dc, Px(line.x2), Px(line.y2));
    // LineTo leaves out the last pixel; the frame's corners need it.
    SetPixel(dc, Px(line.x2), Px(line.y2), line.colour);
  }

  const RECT label{Px(design_.label.left), Px(design_.label.top),
                   Px(design_.label.left + design_.label.width),
                   Px(design_.label.top + design_.label.height)};
  const ScopedSelect selected(dc, font_.get());
  SetTextColor(dc, line_.colour);
  SetBkMode(dc, TRANSPARENT);
  // Right-aligned, read right to left: the drawing call shapes and orders the
  // Arabic itself, which measuring and aligning with DrawText does not do
  // the same everywhere.
  SetTextAlign(dc, TA_RIGHT | TA_TOP | TA_RTLREADING);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  int y = label.top;
  for (const std::wstring& row : WrapAtWords(dc, text_, label.right - label.left)) {
    ExtTextOutW(dc, label.right, y, ETO_CLIPPED | ETO_RTLREADING, &label, row.c_str(),
                static_cast<UINT>(row.size()), /*lpDx=*/nullptr);
    y += metrics.tmHeight;
  }
}

}  // namespace pellarion
