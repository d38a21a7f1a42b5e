// Colour values and the system colours.
//
// A colour is a 32-bit value 0x00BBGGRR: red in the low byte, then green, then
// blue. The top byte says what kind of value it is:
//   0x00        an RGB colour;
//   0xFF        a system colour: the low byte is the index of an element of the
//               desktop's colour set (clWindow is 0xFF000005, COLOR_WINDOW = 5)
//               and must be resolved with ColorToRGB before it is drawn;
//   otherwise   not a colour at all. Two such values are markers that colour
//               lists use (see style/TarvoStyle.h): clDefault (0x20000000, take
//               the colour from the level above) and clNone (0x1FFFFFFF, the
//               colour was removed on purpose).
//
// The system colour set is the desktop's standard light palette; it is fixed
// for the process (there is no user theme to follow on this platform), so
// resolving is a pure table look-up, safe from any thread.
#pragma once

#include <cstdint>

namespace tarvo {

using TColor = std::uint32_t;

// Markers of colour lists. They are not colours: resolve inheritance first.
inline constexpr TColor clDefault = 0x20000000;
inline constexpr TColor clNone = 0x1FFFFFFF;

// Top byte of a system colour.
inline constexpr TColor clSystemColor = 0xFF000000;

// Indices of the desktop's colour set, as the terminal's stored settings use
// them.
enum : std::uint8_t {
  COLOR_SCROLLBAR = 0,
  COLOR_BACKGROUND = 1,
  COLOR_ACTIVECAPTION = 2,
  COLOR_INACTIVECAPTION = 3,
  COLOR_MENU = 4,
  COLOR_WINDOW = 5,
  COLOR_WINDOWFRAME = 6,
  COLOR_MENUTEXT = 7,
  COLOR_WINDOWTEXT = 8,
  COLOR_CAPTIONTEXT = 9,
  COLOR_ACTIVEBORDER = 10,
  COLOR_INACTIVEBORDER = 11,
  COLOR_APPWORKSPACE = 12,
  COLOR_HIGHLIGHT = 13,
  COLOR_HIGHLIGHTTEXT = 14,
  COLOR_BTNFACE = 15,
  COLOR_BTNSHADOW = 16,
  COLOR_GRAYTEXT = 17,
  COLOR_BTNTEXT = 18,
  COLOR_INACTIVECAPTIONTEXT = 19,
  COLOR_BTNHIGHLIGHT = 20,
  COLOR_3DDKSHADOW = 21,
  COLOR_3DLIGHT = 22,
  COLOR_INFOTEXT = 23,
  COLOR_INFOBK = 24,
  COLOR_HOTLIGHT = 26,
  COLOR_GRADIENTACTIVECAPTION = 27,
  COLOR_GRADIENTINACTIVECAPTION = 28,
  COLOR_MENUHILIGHT = 29,
  COLOR_MENUBAR = 30,
};

inline constexpr TColor SystemColor(std::uint8_t index) {
  return clSystemColor | index;
}

// The system colours under the names the toolkit's settings use.
inline constexpr TColor clScrollBar = SystemColor(COLOR_SCROLLBAR);
inline constexpr TColor clBackground = SystemColor(COLOR_BACKGROUND);
inline constexpr TColor clActiveCaption = SystemColor(COLOR_ACTIVECAPTION);
inline constexpr TColor clInactiveCaption = SystemColor(COLOR_INACTIVECAPTION);
inline constexpr TColor clMenu = SystemColor(COLOR_MENU);
inline constexpr TColor clWindow = SystemColor(COLOR_WINDOW);
inline constexpr TColor clWindowFrame = SystemColor(COLOR_WINDOWFRAME);
inline constexpr TColor clMenuText = SystemColor(COLOR_MENUTEXT);
inline constexpr TColor clWindowText = SystemColor(COLOR_WINDOWTEXT);
inline constexpr TColor clCaptionText = SystemColor(COLOR_CAPTIONTEXT);
inline constexpr TColor clActiveBorder = SystemColor(COLOR_ACTIVEBORDER);
inline constexpr TColor clInactiveBorder = SystemColor(COLOR_INACTIVEBORDER);
inline constexpr TColor clAppWorkSpace = SystemColor(COLOR_APPWORKSPACE);
inline constexpr TColor clHighlight = SystemColor(COLOR_HIGHLIGHT);
inline constexpr TColor clHighlightText = SystemColor(COLOR_HIGHLIGHTTEXT);
inline constexpr TColor clBtnFace = SystemColor(COLOR_BTNFACE);
inline constexpr TColor clBtnShadow = SystemColor(COLOR_BTNSHADOW);
inline constexpr TColor clGrayText = SystemColor(COLOR_GRAYTEXT);
inline constexpr TColor clBtnText = SystemColor(COLOR_BTNTEXT);
inline constexpr TColor clInactiveCaptionText = SystemColor(COLOR_INACTIVECAPTIONTEXT);
inline constexpr TColor clBtnHighlight = SystemColor(COLOR_BTNHIGHLIGHT);
inline constexpr TColor cl3DDkShadow = SystemColor(COLOR_3DDKSHADOW);
inline constexpr TColor cl3DLight = SystemColor(COLOR_3DLIGHT);
inline constexpr TColor clInfoText = SystemColor(COLOR_INFOTEXT);
inline constexpr TColor clInfoBk = SystemColor(COLOR_INFOBK);
inline constexpr TColor clHotLight = SystemColor(COLOR_HOTLIGHT);
inline constexpr TColor clGradientActiveCaption = SystemColor(COLOR_GRADIENTACTIVECAPTION);
inline constexpr TColor clGradientInactiveCaption = SystemColor(COLOR_GRADIENTINACTIVECAPTION);
inline constexpr TColor clMenuHighlight = SystemColor(COLOR_MENUHILIGHT);
inline constexpr TColor clMenuBar = SystemColor(COLOR_MENUBAR);

inline constexpr bool IsSystemColor(TColor color) {
  return (color & 0xFF000000) == clSystemColor;
}

// The RGB value of an element of the desktop's colour set; black for an index
// the set does not define, as the desktop answers for one.
TColor GetSysColor(unsigned index) noexcept;

// Resolves a system colour to its RGB value; every other value is returned as
// it is (markers included, so that callers can still tell them apart).
TColor ColorToRGB(TColor color) noexcept;

// The two colours mixed half and half, channel by channel (truncating). System
// colours are resolved first and the result is always a plain RGB value (top
// byte 0): averaging the raw values would also average the top bytes and turn
// two system colours into a meaningless system-colour id.
TColor AverageColors(TColor a, TColor b) noexcept;

// Every channel multiplied by factor, rounded half to even and kept within
// 0..255 (a factor above 1 brightens, below 1 darkens; a factor that is not a
// number gives black). The colour is resolved first and the result is a plain
// RGB value, for the same reason as AverageColors.
TColor ScaleColor(TColor color, double factor) noexcept;

}  // namespace tarvo
