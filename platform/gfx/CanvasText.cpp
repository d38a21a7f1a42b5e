// Text layout for the raw canvas and the vector context: Pango shapes, our
// code decides lines, alignment, hot-key prefixes and ellipses, so that the
// desktop's DrawText rules hold exactly and the shown text is known.
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

#include "platform/gfx/CanvasEngine.h"

namespace tarvo::platform {
namespace {

constexpr std::string_view kEllipsis = "...";

// One Pango context and layout per thread: Pango objects are not shared
// between threads, and reusing one layout keeps the cost of a short text at
// the cost of shaping it.
class TextEngine {
 public:
  static TextEngine& Get() {
    thread_local TextEngine engine;
    return engine;
  }

  TextEngine() {
    PangoFontMap* map = pango_cairo_font_map_get_default();
    fContext = pango_font_map_create_context(map);
    pango_cairo_context_set_resolution(fContext, PixelsPerInch);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
    pango_cairo_context_set_font_options(fContext, options);
    cairo_font_options_destroy(options);
    fLayout = pango_layout_new(fContext);
  }
  ~TextEngine() {
    if (fDescription) pango_font_description_free(fDescription);
    g_object_unref(fLayout);
    g_object_unref(fContext);
    // The thread's font map and the fonts it holds go with the thread.
    pango_cairo_font_map_set_default(nullptr);
  }
  TextEngine(const TextEngine&) = delete;
  TextEngine& operator=(const TextEngine&) = delete;

  PangoLayout* Layout() const noexcept { return fLayout; }

  // Sets the font, the text and the underlines (whole text for an underlined
  // or struck-out font, one character for a hot-key prefix); no width limit.
  PangoLayout* Prepare(const TFontSpec& font, std::string_view text, int underlineByte = -1) {
    if (!fHasFont || !(font == fFont)) {
      if (fDescription) pango_font_description_free(fDescription);
      fDescription = pango_font_description_new();
      pango_font_description_set_family(fDescription,
                                        font.Name.empty() ? "Tahoma" : font.Name.c_str());
      pango_font_description_set_weight(fDescription,
                                        font.Bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
      pango_font_description_set_style(fDescription,
                                       font.Italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
      double px = font.PixelSize;
      if (!(px >= 1)) px = 1;
      if (px > 4096) px = 4096;
      pango_font_description_set_absolute_size(fDescription, px * PANGO_SCALE);
      pango_layout_set_font_description(fLayout, fDescription);
      fFont = font;
      fHasFont = true;
      fFontChanged = true;
    }
    pango_layout_set_width(fLayout, -1);
    // Measuring a text and then drawing it shapes it once: the layout keeps
    // its lines while text, font and underlines stay the same.
    const bool underlineChar =
        underlineByte >= 0 && static_cast<size_t>(underlineByte) < text.size();
    const int underline = underlineChar ? underlineByte : -1;
    if (fFontChanged || text != fText || underline != fUnderline) {
      pango_layout_set_text(fLayout, text.data(), static_cast<int>(text.size()));
      fText.assign(text);
      fUnderline = underline;
      fFontChanged = false;
      if (font.Underline || font.StrikeOut || underlineChar) {
        PangoAttrList* attrs = pango_attr_list_new();
        if (font.Underline)
          pango_attr_list_insert(attrs, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
        if (font.StrikeOut) pango_attr_list_insert(attrs, pango_attr_strikethrough_new(TRUE));
        if (underlineChar && !font.Underline) {
          PangoAttribute* a = pango_attr_underline_new(PANGO_UNDERLINE_SINGLE);
          a->start_index = static_cast<guint>(underlineByte);
          a->end_index = static_cast<guint>(underlineByte + Utf8Length(text, underlineByte));
          pango_attr_list_insert(attrs, a);
        }
        pango_layout_set_attributes(fLayout, attrs);
        pango_attr_list_unref(attrs);
        fHasAttrs = true;
      } else if (fHasAttrs) {
        pango_layout_set_attributes(fLayout, nullptr);
        fHasAttrs = false;
      }
    }
    return fLayout;
  }

  TSizeF Extent(const TFontSpec& font, std::string_view text) {
    PangoLayout* layout = Prepare(font, text);
    PangoRectangle logical;
    pango_layout_get_pixel_extents(layout, nullptr, &logical);
    return {static_cast<double>(logical.width), static_cast<double>(logical.height)};
  }

  // Byte ranges of the lines Pango makes of a paragraph at this width.
  std::vector<std::pair<int, int>> Wrap(const TFontSpec& font, std::string_view text,
                                        double width) {
    PangoLayout* layout = Prepare(font, text);
    // Pango counts in 1/1024 pixel in an int: keep the width well inside.
    const double w = std::clamp(width, 0.0, 1e6);
    pango_layout_set_width(layout, static_cast<int>(w * PANGO_SCALE));
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD);
    std::vector<std::pair<int, int>> ranges;
    for (GSList* l = pango_layout_get_lines_readonly(layout); l; l = l->next) {
      auto* line = static_cast<PangoLayoutLine*>(l->data);
      ranges.emplace_back(line->start_index, line->length);
    }
    pango_layout_set_width(layout, -1);
    return ranges;
  }

  static int Utf8Length(std::string_view s, int at) {
    const auto c = static_cast<unsigned char>(s[static_cast<size_t>(at)]);
    int n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    return std::min<int>(n, static_cast<int>(s.size()) - at);
  }

 private:
  PangoContext* fContext = nullptr;
  PangoLayout* fLayout = nullptr;
  PangoFontDescription* fDescription = nullptr;
  TFontSpec fFont;
  bool fHasFont = false;
  bool fHasAttrs = false;
  bool fFontChanged = true;
  std::string fText;
  int fUnderline = -1;
};

bool IsContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Byte offsets where a character starts, plus the end.
std::vector<size_t> CharBoundaries(std::string_view s) {
  std::vector<size_t> b;
  for (size_t i = 0; i < s.size(); ++i)
    if (!IsContinuation(static_cast<unsigned char>(s[i]))) b.push_back(i);
  b.push_back(s.size());
  return b;
}

// Removes hot-key prefixes: single "&"s go, "&&" gives "&"; the first
// character that followed a single "&" is remembered (byte offset in the result).
std::string StripPrefixes(std::string_view text, int* underlineByte) {
  std::string out;
  out.reserve(text.size());
  *underlineByte = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '&') {
      out += '&';
      ++i;
      continue;
    }
    if (i + 1 < text.size() && *underlineByte < 0) *underlineByte = static_cast<int>(out.size());
  }
  return out;
}

// The longest start of text (whole characters, or whole words for word
// ellipsis) that fits in width with "..." after it.
std::string EllipsizeEnd(TextEngine& e, const TFontSpec& font, std::string_view text, double width,
                         bool words) {
  const std::vector<size_t> b = CharBoundaries(text);
  std::vector<size_t> cuts;
  if (words) {
    for (size_t i = 1; i + 1 < b.size(); ++i)
      if (text[b[i]] == ' ' && text[b[i] - 1] != ' ') cuts.push_back(b[i]);
    if (cuts.empty()) words = false;
  }
  if (!words) cuts.assign(b.begin(), b.end() - 1);
  // Binary search for the last cut that fits; widths grow with the cut.
  size_t lo = 0, hi = cuts.size();  // answer in [0, hi): cuts[lo] always acceptable as a fallback
  auto fits = [&](size_t k) {
    std::string s(text.substr(0, cuts[k]));
    s += kEllipsis;
    return e.Extent(font, s).cx <= width;
  };
  if (cuts.empty()) return std::string(kEllipsis);
  while (hi - lo > 1) {
    const size_t mid = (lo + hi) / 2;
    if (fits(mid))
      lo = mid;
    else
      hi = mid;
  }
  std::string s(text.substr(0, cuts[lo]));
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s + std::string(kEllipsis);
}

// Keeps the part from the last "\" or "/" on and shortens what comes before.
std::string EllipsizePath(TextEngine& e, const TFontSpec& font, std::string_view text,
                          double width) {
  const size_t sep = text.find_last_of("\\/");
  if (sep == std::string_view::npos || sep == 0) return EllipsizeEnd(e, font, text, width, false);
  const std::string_view head = text.substr(0, sep), tail = text.substr(sep);
  const std::vector<size_t> b = CharBoundaries(head);
  auto make = [&](size_t k) {
    std::string s(head.substr(0, b[k]));
    s += kEllipsis;
    s += tail;
    return s;
  };
  size_t lo = 0, hi = b.size() - 1;
  while (hi - lo > 1) {
    const size_t mid = (lo + hi) / 2;
    if (e.Extent(font, make(mid)).cx <= width)
      lo = mid;
    else
      hi = mid;
  }
  return make(lo);
}

std::string Ellipsize(TextEngine& e, const TFontSpec& font, std::string_view text, double width,
                      TTextTrimming trimming) {
  switch (trimming) {
    case ttEllipsisEnd:
      return EllipsizeEnd(e, font, text, width, false);
    case ttEllipsisWord:
      return EllipsizeEnd(e, font, text, width, true);
    case ttEllipsisPath:
      return EllipsizePath(e, font, text, width);
    default:
      return std::string(text);
  }
}

bool IsEllipsis(TTextTrimming t) {
  return t == ttEllipsisEnd || t == ttEllipsisWord || t == ttEllipsisPath;
}

}  // namespace

TSizeF MeasureLine(const TFontSpec& font, std::string_view text) {
  return TextEngine::Get().Extent(font, text);
}

LaidText LayoutText(const TFontSpec& font, std::string_view text, const TTextOptions& options,
                    const std::optional<double>& boxWidthIn,
                    const std::optional<double>& boxHeightIn, bool integral) {
  std::optional<double> boxWidth, boxHeight;
  if (boxWidthIn && std::isfinite(*boxWidthIn)) boxWidth = *boxWidthIn;
  if (boxHeightIn && std::isfinite(*boxHeightIn)) boxHeight = *boxHeightIn;
  TextEngine& e = TextEngine::Get();
  LaidText out;
  if (text.empty()) return out;

  int underline = -1;
  std::string shown =
      options.Prefix == hkNone ? std::string(text) : StripPrefixes(text, &underline);
  if (options.Prefix == hkHide) underline = -1;

  // Paragraphs: line feeds break unless the text is one line.
  struct Para {
    size_t start;
    std::string text;
  };
  std::vector<Para> paras;
  if (options.SingleLine) {
    for (char& c : shown)
      if (c == '\r' || c == '\n') c = ' ';
    paras.push_back({0, shown});
  } else {
    size_t start = 0;
    for (size_t i = 0; i <= shown.size(); ++i) {
      if (i == shown.size() || shown[i] == '\n' || shown[i] == '\r') {
        paras.push_back({start, shown.substr(start, i - start)});
        if (i < shown.size() && shown[i] == '\r' && i + 1 < shown.size() && shown[i + 1] == '\n')
          ++i;
        start = i + 1;
      }
    }
  }

  const bool wrap = options.WordWrap && boxWidth.has_value();
  const double width = boxWidth.value_or(0);
  for (const Para& p : paras) {
    std::vector<std::pair<int, int>> ranges;
    if (wrap && !p.text.empty())
      ranges = e.Wrap(font, p.text, std::max(width, 0.0));
    else
      ranges.emplace_back(0, static_cast<int>(p.text.size()));
    for (auto [s, n] : ranges) {
      LaidLine line;
      line.Text = p.text.substr(static_cast<size_t>(s), static_cast<size_t>(n));
      // A wrapped line keeps the blank it broke at; it takes no room.
      if (wrap)
        while (!line.Text.empty() && (line.Text.back() == ' ' || line.Text.back() == '\t'))
          line.Text.pop_back();
      const long at = static_cast<long>(p.start) + s;
      if (underline >= at && underline < at + static_cast<long>(line.Text.size()))
        line.UnderlineByte = static_cast<int>(underline - at);
      out.Lines.push_back(std::move(line));
    }
  }

  // A wrapped text limited in height: the last line that fits takes the rest
  // of the text and ends with the ellipsis.
  double lineHeight = 0;
  auto emptyLineHeight = [&] {
    if (lineHeight <= 0) {
      const TSizeF one = e.Extent(font, "");
      lineHeight = one.cy > 0 ? one.cy : 1;
    }
    return lineHeight;
  };
  if (wrap && boxHeight && IsEllipsis(options.Trimming)) {
    const size_t fit =
        std::max<size_t>(1, static_cast<size_t>(std::max(0.0, *boxHeight) / emptyLineHeight()));
    if (out.Lines.size() > fit) {
      std::string rest;
      for (size_t i = fit - 1; i < out.Lines.size(); ++i) {
        if (!rest.empty()) rest += ' ';
        rest += out.Lines[i].Text;
      }
      out.Lines.resize(fit);
      out.Lines.back().Text =
          EllipsizeEnd(e, font, rest, width, options.Trimming == ttEllipsisWord);
      out.Lines.back().UnderlineByte = -1;
      out.Shortened = true;
    }
  }

  for (LaidLine& line : out.Lines) {
    TSizeF size = e.Extent(font, line.Text);
    if (boxWidth && IsEllipsis(options.Trimming) && size.cx > width) {
      std::string shortened = Ellipsize(e, font, line.Text, width, options.Trimming);
      // The underlined character survives only in the part kept unchanged.
      const size_t same = static_cast<size_t>(
          std::mismatch(shortened.begin(), shortened.end(), line.Text.begin(), line.Text.end())
              .first -
          shortened.begin());
      if (line.UnderlineByte >= static_cast<int>(same)) line.UnderlineByte = -1;
      line.Text = std::move(shortened);
      out.Shortened = true;
      size = e.Extent(font, line.Text);
    }
    line.Width = size.cx;
    line.Height = size.cy > 0 ? size.cy : emptyLineHeight();
    out.Width = std::max(out.Width, line.Width);
  }

  double y = 0;
  for (LaidLine& line : out.Lines) {
    line.Y = y;
    y += line.Height;
    double x = 0;
    if (boxWidth) {
      if (options.HorzAlign == thaCenter)
        x = (width - line.Width) / 2;
      else if (options.HorzAlign == thaRight)
        x = width - line.Width;
    }
    line.X = integral ? std::floor(x) : x;
  }
  out.Height = y;
  if (boxHeight && options.VertAlign != tvaTop) {
    double dy =
        options.VertAlign == tvaCenter ? (*boxHeight - out.Height) / 2 : *boxHeight - out.Height;
    if (integral) dy = std::floor(dy);
    for (LaidLine& line : out.Lines) line.Y += dy;
  }
  return out;
}

void RenderLine(cairo_t* cr, const TFontSpec& font, const LaidLine& line, double x, double y) {
  if (line.Text.empty()) return;
  PangoLayout* layout = TextEngine::Get().Prepare(font, line.Text, line.UnderlineByte);
  cairo_move_to(cr, ClampCoord(x), ClampCoord(y));
  pango_cairo_show_layout(cr, layout);
}

double EmForCellHeight(const std::string& name, double cellHeight) {
  // The cell of a face grows in proportion to its em; measure it once at a
  // large size and scale.
  thread_local std::map<std::string, double> ratios;
  auto it = ratios.find(name);
  if (it == ratios.end()) {
    TFontSpec f;
    f.Name = name;
    f.PixelSize = 100;
    const double cell = TextEngine::Get().Extent(f, "").cy;
    it = ratios.emplace(name, cell > 0 ? 100.0 / cell : 1.0).first;
  }
  return cellHeight * it->second;
}

TTextMeasure MeasureText(const TFontSpec& font, std::string_view text, const TTextOptions& options,
                         std::optional<double> boxWidth, std::optional<double> boxHeight) {
  const LaidText laid = LayoutText(font, text, options, boxWidth, boxHeight, false);
  TTextMeasure m;
  m.Width = laid.Width;
  m.Height = laid.Height;
  m.Lines = static_cast<int>(laid.Lines.size());
  for (size_t i = 0; i < laid.Lines.size(); ++i) {
    if (i) m.Shown += '\n';
    m.Shown += laid.Lines[i].Text;
  }
  return m;
}

}  // namespace tarvo::platform
