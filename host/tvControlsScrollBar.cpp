#include <algorithm>
#include <cstdint>

#include "host/tvControls.h"

namespace tarvo {

namespace {

constexpr std::uintptr_t kRepeatTimer = 1;
constexpr int kMinThumb = 8;

}  // namespace

TTarvoScrollBar::TTarvoScrollBar(TComponent* owner, TScrollBarKind kind)
    : TCustomBorderedControl(owner), fKind(kind) {
  const int thickness = kind == sbHorizontal ? Desktop().GetSystemMetric(platform::SM_CYHSCROLL)
                                             : Desktop().GetSystemMetric(platform::SM_CXVSCROLL);
  if (kind == sbHorizontal) {
    SetBounds(0, 0, 121, thickness);
  } else {
    SetBounds(0, 0, thickness, 121);
  }
  SetColor(clScrollBar);
}

void TTarvoScrollBar::SetKind(TScrollBarKind kind) {
  if (kind == fKind) return;
  fKind = kind;
  SetBounds(Left(), Top(), Height(), Width());
  Invalidate();
}

int TTarvoScrollBar::GetLimit() const noexcept {
  const std::int64_t limit = std::int64_t{fMax} - std::max(fPage, 1) + 1;
  return limit < fMin ? fMin : static_cast<int>(limit);
}

void TTarvoScrollBar::Store(int min, int max, int page, int step, int position) {
  const int old = fPosition;
  fMin = min;
  fMax = max;
  fPage = std::max(page, 0);
  fStep = step;
  fPosition = std::clamp(position, fMin, GetLimit());
  Invalidate();
  if (fPosition != old) Change();
}

void TTarvoScrollBar::SetParams(int min, int max, int page, int step) {
  Store(min, max, page, step, fPosition);
}

void TTarvoScrollBar::SetPosition(int value) {
  Store(fMin, fMax, fPage, fStep, value);
}

void TTarvoScrollBar::Change() {
  if (OnChange) OnChange(*this);
}

bool TTarvoScrollBar::Active() const noexcept {
  return Enabled() && GetLimit() > fMin;
}

// Geometry along the bar: [0, length) with a button of `button` at each end.
TRect TTarvoScrollBar::PartRect(TPart part) const {
  const TRect client = ClientRect();
  const bool horizontal = fKind == sbHorizontal;
  const int length = horizontal ? client.Width() : client.Height();
  const int across = horizontal ? client.Height() : client.Width();
  const int button = std::min(across, length / 2);
  auto make = [&](int from, int to) -> TRect {
    if (to <= from) return {};
    return horizontal ? TRect{from, 0, to, across} : TRect{0, from, across, to};
  };
  const int trackFrom = button, trackTo = length - button;
  const int track = trackTo - trackFrom;
  int thumbFrom = 0, thumbTo = 0;
  if (Active() && track >= kMinThumb) {
    const std::int64_t values = std::int64_t{fMax} - fMin + 1;
    int thumb =
        fPage > 0
            ? static_cast<int>(std::int64_t{track} * fPage / std::max<std::int64_t>(values, 1))
            : button;
    thumb = std::clamp(thumb, kMinThumb, track);
    const std::int64_t span = std::int64_t{GetLimit()} - fMin;
    thumbFrom =
        trackFrom + static_cast<int>((std::int64_t{fPosition} - fMin) * (track - thumb) / span);
    thumbTo = thumbFrom + thumb;
  }
  switch (part) {
    case spLineUp:
      return make(0, button);
    case spLineDown:
      return make(trackTo, length);
    case spThumb:
      return make(thumbFrom, thumbTo);
    case spPageUp:
      return thumbTo > thumbFrom ? make(trackFrom, thumbFrom) : TRect{};
    case spPageDown:
      return thumbTo > thumbFrom ? make(thumbTo, trackTo) : TRect{};
    case spNone:
      break;
  }
  return {};
}

TTarvoScrollBar::TPart TTarvoScrollBar::PartAt(int x, int y) const {
  for (TPart part : {spLineUp, spLineDown, spThumb, spPageUp, spPageDown})
    if (PartRect(part).Contains({x, y})) return part;
  return spNone;
}

void TTarvoScrollBar::Paint() {
  TCanvas& canvas = Canvas();
  const TRect client = ClientRect();
  const bool active = Active();
  // Track.
  canvas.Brush() = platform::TBrush{Color(), platform::bsSolid};
  canvas.FillRect(client);
  for (TPart page : {spPageUp, spPageDown})
    if (fPressed == page && fPressedHot) {
      canvas.Brush() = platform::TBrush{cl3DDkShadow, platform::bsSolid};
      canvas.FillRect(PartRect(page));
    }
  // Raised (or, while pressed, flat) boxes for the buttons and the thumb.
  auto box = [&](const TRect& r, bool pressed) {
    if (r.IsEmpty()) return;
    canvas.Brush() = platform::TBrush{clBtnFace, platform::bsSolid};
    canvas.FillRect(r);
    canvas.Pen() = platform::TPen{pressed ? clBtnShadow : clBtnHighlight};
    canvas.MoveTo(r.Left, r.Bottom - 1);
    canvas.LineTo(r.Left, r.Top);
    canvas.LineTo(r.Right, r.Top);
    canvas.Pen() = platform::TPen{clBtnShadow};
    canvas.MoveTo(r.Left, r.Bottom - 1);
    canvas.LineTo(r.Right - 1, r.Bottom - 1);
    canvas.LineTo(r.Right - 1, r.Top - 1);
  };
  auto arrow = [&](const TRect& r, bool forward) {
    if (r.IsEmpty()) return;
    const int cx = (r.Left + r.Right) / 2, cy = (r.Top + r.Bottom) / 2;
    const int s = std::max(2, std::min(r.Width(), r.Height()) / 4);
    std::vector<TPoint> pts;
    if (fKind == sbHorizontal) {
      pts = forward ? std::vector<TPoint>{{cx - s / 2, cy - s},
                                          {cx - s / 2, cy + s},
                                          {cx + s / 2 + 1, cy}}
                    : std::vector<TPoint>{
                          {cx + s / 2, cy - s}, {cx + s / 2, cy + s}, {cx - s / 2 - 1, cy}};
    } else {
      pts = forward ? std::vector<TPoint>{{cx - s, cy - s / 2},
                                          {cx + s, cy - s / 2},
                                          {cx, cy + s / 2 + 1}}
                    : std::vector<TPoint>{
                          {cx - s, cy + s / 2}, {cx + s, cy + s / 2}, {cx, cy - s / 2 - 1}};
    }
    const TColor c = active ? clBtnText : clGrayText;
    canvas.Pen() = platform::TPen{c};
    canvas.Brush() = platform::TBrush{c, platform::bsSolid};
    canvas.Polygon(pts);
  };
  const TRect up = PartRect(spLineUp), down = PartRect(spLineDown);
  box(up, fPressed == spLineUp && fPressedHot);
  box(down, fPressed == spLineDown && fPressedHot);
  arrow(up, false);
  arrow(down, true);
  box(PartRect(spThumb), false);
}

void TTarvoScrollBar::StepPart(TPart part) {
  const int step = std::max(fStep, 1);
  switch (part) {
    case spLineUp:
      SetPosition(fPosition - step);
      break;
    case spLineDown:
      SetPosition(fPosition + step);
      break;
    case spPageUp:
      SetPosition(fPosition - LargeChange());
      break;
    case spPageDown:
      SetPosition(fPosition + LargeChange());
      break;
    default:
      break;
  }
}

void TTarvoScrollBar::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
  TCustomBorderedControl::MouseDown(button, shift, x, y);
  if (button != platform::mbLeft || !Active()) return;
  const TPart part = PartAt(x, y);
  if (part == spNone) return;
  fPressed = part;
  fPressedHot = true;
  if (part == spThumb) {
    const TRect thumb = PartRect(spThumb);
    fDragOffset = fKind == sbHorizontal ? x - thumb.Left : y - thumb.Top;
  } else {
    StepPart(part);
    SetTimer(kRepeatTimer, kFirstDelay);
  }
  Invalidate();
}

void TTarvoScrollBar::MouseMove(TShiftState shift, int x, int y) {
  TCustomBorderedControl::MouseMove(shift, x, y);
  if (fPressed == spNone) return;
  if (fPressed == spThumb) {
    const TRect up = PartRect(spLineUp), down = PartRect(spLineDown), thumb = PartRect(spThumb);
    const bool horizontal = fKind == sbHorizontal;
    const int trackFrom = horizontal ? up.Right : up.Bottom;
    const int trackTo = horizontal ? down.Left : down.Top;
    const int thumbLength = horizontal ? thumb.Width() : thumb.Height();
    const int free = trackTo - trackFrom - thumbLength;
    if (free <= 0) return;
    const int along = (horizontal ? x : y) - fDragOffset - trackFrom;
    const std::int64_t span = std::int64_t{GetLimit()} - fMin;
    // Nearest position for the thumb's new place.
    const std::int64_t scaled = std::int64_t{std::clamp(along, 0, free)} * span;
    SetPosition(fMin + static_cast<int>((scaled + free / 2) / free));
    return;
  }
  const bool hot = PartAt(x, y) == fPressed;
  if (hot != fPressedHot) {
    fPressedHot = hot;
    Invalidate();
  }
}

void TTarvoScrollBar::MouseUp(TMouseButton button, TShiftState shift, int x, int y) {
  if (button == platform::mbLeft) StopTracking();
  TCustomBorderedControl::MouseUp(button, shift, x, y);
}

void TTarvoScrollBar::Timer(std::uintptr_t id) {
  if (id != kRepeatTimer) return;
  if (fPressed == spNone || fPressed == spThumb) {
    KillTimer(kRepeatTimer);
    return;
  }
  // The page parts shrink as the thumb comes closer: test the mouse again.
  const TPoint p = ScreenToClient(Desktop().CursorPos());
  fPressedHot = PartAt(p.X, p.Y) == fPressed;
  if (fPressedHot) StepPart(fPressed);
  SetTimer(kRepeatTimer, kRepeatDelay);
}

void TTarvoScrollBar::StopTracking() {
  if (fPressed == spNone) return;
  fPressed = spNone;
  fPressedHot = false;
  KillTimer(kRepeatTimer);
  Invalidate();
}

void TTarvoScrollBar::CancelMode(WindowHandle sender) {
  StopTracking();
  TCustomBorderedControl::CancelMode(sender);
}

void TTarvoScrollBar::EnabledChanged() {
  if (!Enabled()) StopTracking();
  TCustomBorderedControl::EnabledChanged();
}

}  // namespace tarvo
