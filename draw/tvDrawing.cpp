#include "draw/tvDrawing.h"

#include <cctype>

#include "draw/tvCanvasD2D.h"
#include "draw/tvCanvasGDI.h"
#include "draw/tvCanvasGDIPluse.h"
#include "platform/gfx/CanvasSupport.h"
#include "platform/system/Process.h"

namespace tarvo {

TTextFormat TextFormat(std::initializer_list<TTextFormats> flags) {
  TTextFormat f;
  for (TTextFormats x : flags) f.set(x);
  return f;
}

std::uint32_t DrawTextFlags(const TTextFormat& format) {
  // Position n of the format list is the flag the desktop gives that name.
  static constexpr std::uint32_t kFlags[23] = {
      platform::DT_BOTTOM,        platform::DT_CALCRECT,
      platform::DT_CENTER,        platform::DT_EDITCONTROL,
      platform::DT_END_ELLIPSIS,  platform::DT_PATH_ELLIPSIS,
      platform::DT_EXPANDTABS,    platform::DT_EXTERNALLEADING,
      platform::DT_LEFT,          platform::DT_MODIFYSTRING,
      platform::DT_NOCLIP,        platform::DT_NOPREFIX,
      platform::DT_RIGHT,         platform::DT_RTLREADING,
      platform::DT_SINGLELINE,    platform::DT_TOP,
      platform::DT_VCENTER,       platform::DT_WORDBREAK,
      platform::DT_HIDEPREFIX,    platform::DT_NOFULLWIDTHCHARBREAK,
      platform::DT_PREFIXONLY,    platform::DT_TABSTOP,
      platform::DT_WORD_ELLIPSIS,
  };
  std::uint32_t flags = 0;
  for (size_t i = 0; i < 23; ++i)
    if (format.test(i)) flags |= kFlags[i];
  return flags;
}

// --- class reference -------------------------------------------------------------

std::unique_ptr<TTVCustomCanvas> TTVCanvasClass::Create(TRawCanvas& canvas, const TRect& targetRect,
                                                        bool monochrome) const {
  if (!fFactory) throw EAbstractError();
  return fFactory(canvas, targetRect, monochrome);
}

TTVCanvasClass TTVCustomCanvas::ClassRef() noexcept {
  return {"TTVCustomCanvas", nullptr, false};
}

// --- the abstract surface ------------------------------------------------------------

// Switches antialiasing for one operation and always off again, also when
// the drawing throws.
class TTVCustomCanvas::AntialiasScope {
 public:
  AntialiasScope(TTVCustomCanvas& canvas, bool on) : fCanvas(canvas) { fCanvas.SetAntialiased(on); }
  ~AntialiasScope() { fCanvas.SetAntialiased(false); }
  AntialiasScope(const AntialiasScope&) = delete;
  AntialiasScope& operator=(const AntialiasScope&) = delete;

 private:
  TTVCustomCanvas& fCanvas;
};

TTVCustomCanvas::TTVCustomCanvas(TRawCanvas& canvas, const TRect& targetRect, bool monochrome)
    : fTargetRect(targetRect), fMonochrome(monochrome), fCanvas(&canvas) {}

TTVCustomCanvas::~TTVCustomCanvas() = default;

void TTVCustomCanvas::DoSetAntialiased(bool) {}
void TTVCustomCanvas::DoCircle(int, int, int) {}
void TTVCustomCanvas::DoEllipse(const TRect&) {}
void TTVCustomCanvas::DoCurve(const TPolyline& line) {
  Polyline(line);
}
void TTVCustomCanvas::DoLineTo(int, int) {}

void TTVCustomCanvas::DoPolyline(std::span<const TPoint> points, int high) {
  if (high == 0 && !points.empty()) Circle(points[0].X, points[0].Y, 1);
}

void TTVCustomCanvas::DoPolygon(std::span<const TPoint> points, int high) {
  if (high == 0 && !points.empty()) Circle(points[0].X, points[0].Y, 1);
}

void TTVCustomCanvas::DoRoundRect(int, int, int, int, int, int) {}
void TTVCustomCanvas::DoStretchDraw(const TRect&, const TGraphic&) {}

void TTVCustomCanvas::BeginDraw() {
  SetupRegion(fTargetRect);
}
void TTVCustomCanvas::EndDraw() {
  ResetRgn();
}
void TTVCustomCanvas::PushLayer(const TRect&, double) {}
void TTVCustomCanvas::PopLayer() {}

void TTVCustomCanvas::SetAntialiased(bool value) {
  if (value == fAntialiased) return;
  // Recorded first: should the back end throw, the state still says what
  // was asked, and the closing call of the operation still switches it off.
  fAntialiased = value;
  DoSetAntialiased(value);
}

void TTVCustomCanvas::LineTo(int x, int y) {
  const TPoint p = GetPenPos();
  AntialiasScope aa(*this, x != p.X && y != p.Y);
  DoLineTo(x, y);
}

void TTVCustomCanvas::Circle(int x, int y, int r) {
  AntialiasScope aa(*this, true);
  DoCircle(x, y, r);
}

void TTVCustomCanvas::Ellipse(const TRect& rect) {
  AntialiasScope aa(*this, true);
  DoEllipse(rect);
}

void TTVCustomCanvas::Polyline(std::span<const TPoint> points) {
  if (points.empty()) return;
  AntialiasScope aa(*this, true);
  DoPolyline(points, static_cast<int>(points.size()) - 1);
}

void TTVCustomCanvas::Polygon(std::span<const TPoint> points) {
  if (points.empty()) return;
  AntialiasScope aa(*this, true);
  DoPolygon(points, static_cast<int>(points.size()) - 1);
}

void TTVCustomCanvas::Curve(const TPolyline& line) {
  AntialiasScope aa(*this, true);
  DoCurve(line);
}

void TTVCustomCanvas::RoundRect(int x1, int y1, int x2, int y2, int x3, int y3) {
  AntialiasScope aa(*this, true);
  DoRoundRect(x1, y1, x2, y2, x3, y3);
}

void TTVCustomCanvas::StretchDraw(const TRect& rect, const TGraphic& graphic) {
  AntialiasScope aa(*this, !(graphic.Width() == rect.Width() && graphic.Height() == rect.Height()));
  DoStretchDraw(rect, graphic);
}

// --- back-end selection -----------------------------------------------------------------

namespace {

struct Selection {
  TTVCanvasClass Class = TTVCanvasGDI::ClassRef();
  std::string Caption = "GDI";
};

Selection& Current() {
  static Selection selection;
  return selection;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

}  // namespace

TTVCanvasClass TVCanvasClass() {
  return Current().Class;
}
std::string TVCanvasClassCaption() {
  return Current().Caption;
}

void InitGraphicsKind(TGraphicsKind kind) {
  Selection& s = Current();
  switch (kind) {
    case gkDefault:
    case gkD2D:
      if (platform::IsDirect2DSupported()) {
        s = {TTVCanvasD2D::ClassRef(), "DirectX 2D"};
        return;
      }
      if (kind == gkDefault) s = {TTVCanvasGDIPlus::ClassRef(), "GDI Plus"};
      return;
    case gkGDIPlus:
      s = {TTVCanvasGDIPlus::ClassRef(), "GDI Plus"};
      return;
    case gkGDI:
      s = {TTVCanvasGDI::ClassRef(), "GDI"};
      return;
    default:
      return;
  }
}

TGraphicsKind GraphicsKindFromCommandLine(std::span<const std::string> args) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() < 2 || (a[0] != '-' && a[0] != '/')) continue;
    if (!SameText(std::string_view(a).substr(1), "Graphics")) continue;
    if (i + 1 >= args.size()) return gkUnknown;
    std::string value = args[i + 1];
    for (char& c : value) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (value == "DIRECTX") return gkD2D;
    if (value == "GDI+") return gkGDIPlus;
    if (value == "GDI") return gkGDI;
    return gkUnknown;
  }
  return gkUnknown;
}

void SelectGraphicsAtLoad(std::span<const std::string> args) {
  InitGraphicsKind(gkDefault);
  InitGraphicsKind(GraphicsKindFromCommandLine(args));
}

namespace {
// The choice is made once, when the library is loaded.
[[maybe_unused]] const bool gSelectedAtLoad = [] {
  SelectGraphicsAtLoad(platform::ProcessArguments());
  return true;
}();
}  // namespace

}  // namespace tarvo
