// tarvo_demo: the seed of the demo terminal. One top-level window with a
// painted client area (a grid of cells that scrolls with the bar) and a
// horizontal scroll bar along its bottom.
//
// Under X11 (a display that can be opened, and no --headless) the window is
// shown until it is closed, or for --seconds N. Otherwise it runs on the
// headless desktop, writes a PNG screenshot (--screenshot, default
// "tarvo-demo.png") and exits. --screenshot also writes a screenshot at the
// end of an X11 run.
//
// Exit codes: 0 done, 1 a failure (message on stderr), 2 bad arguments.

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "host/tvControls.h"
#include "platform/ui/WindowSystem.h"
#ifdef TARVO_DEMO_X11
#include "platform/ui/x11/WindowX11.h"
#endif

using namespace tarvo;
using namespace tarvo::platform;

namespace {

constexpr int kCell = 40;
constexpr int kColumns = 30;

// The client area: numbered cells whose horizontal offset follows the bar.
class DemoView : public TCustomBorderedControl {
 public:
  const char* ClassName() const override { return "DemoView"; }
  int offset = 0;

  void ScrollTo(int position) {
    const int dx = offset - position;
    offset = position;
    ScrollWindow(dx, 0, nullptr, nullptr);  // moves what is drawn, repaints the uncovered band
  }

 protected:
  friend class TComponent;
  explicit DemoView(TComponent* owner) : TCustomBorderedControl(owner) {
    SetColor(clWindow);
    SetBorderStyle(bsSingle);
  }
  void Paint() override {
    TCanvas& canvas = Canvas();
    const TRect client = ClientRect();
    canvas.Brush() = TBrush{clWindow, bsSolid};
    for (const TRect& r : PaintClip().Rects()) canvas.FillRect(r);
    for (int col = 0; col < kColumns; ++col) {
      const int x = col * kCell - offset;
      if (x + kCell < 0 || x > client.Right) continue;
      for (int row = 0; row * kCell < client.Bottom; ++row) {
        const TRect cell{x + 2, row * kCell + 2, x + kCell - 2, row * kCell + kCell - 2};
        const bool dark = (col + row) % 2 == 0;
        canvas.Brush() = TBrush{dark ? TColor(0x00C08040) : TColor(0x0040C0F0), bsSolid};
        canvas.FillRect(cell);
        canvas.Brush().Style = bsClear;
        canvas.Font().Color = dark ? TColor(0xFFFFFF) : TColor(0x000000);
        TRect text = cell;
        canvas.DrawText(std::to_string(col + 1) + ":" + std::to_string(row + 1), text,
                        DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
      }
    }
  }
};

class DemoForm : public TCustomBorderedControl {
 public:
  const char* ClassName() const override { return "DemoForm"; }
  bool closed = false;

 protected:
  friend class TComponent;
  explicit DemoForm(TComponent* owner) : TCustomBorderedControl(owner) {}
  void CreateParams(TCreateParams& params) override {
    TCustomBorderedControl::CreateParams(params);
    params.Caption = "Tarvo Trade demo";
  }
  void WindowDestroyed(WindowHandle window) override {
    closed = true;
    TCustomBorderedControl::WindowDestroyed(window);
  }
};

int Usage() {
  std::fprintf(stderr, "usage: tarvo_demo [--headless] [--screenshot FILE] [--seconds N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool headless = false;
  std::string screenshot;
  int seconds = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--headless") {
      headless = true;
    } else if (arg == "--screenshot" && i + 1 < argc) {
      screenshot = argv[++i];
    } else if (arg == "--seconds" && i + 1 < argc) {
      char* end = nullptr;
      const char* text = argv[++i];
      const long value = std::strtol(text, &end, 10);
      if (end == text || *end || value < 0 || value > 86400) return Usage();
      seconds = static_cast<int>(value);
    } else {
      return Usage();
    }
  }
  try {
    MessageQueue::UI().BindToCurrentThread();
    TDesktop desktop;
    TDesktop::SetCurrent(&desktop);
#ifdef TARVO_DEMO_X11
    std::unique_ptr<TX11Presenter> presenter;
    if (!headless && TX11Presenter::DisplayAvailable())
      presenter = std::make_unique<TX11Presenter>(desktop);
#endif
    auto form = TComponent::CreateUnowned<DemoForm>();
    form->SetBounds(60, 60, 480, 320);
    auto* view = TComponent::Create<DemoView>(form.get());
    view->SetParent(form.get());
    view->SetAlign(alClient);
    auto* bar = TComponent::Create<TTarvoScrollBar>(form.get(), sbHorizontal);
    bar->SetParent(form.get());
    bar->SetAlign(alBottom);
    const auto updateRange = [view, bar](TCustomBorderedControl&) {
      bar->SetParams(0, kColumns * kCell - 1, view->ClientWidth(), kCell / 4);
    };
    view->OnResize = updateRange;
    bar->OnChange = [view, bar](TCustomBorderedControl&) { view->ScrollTo(bar->Position()); };
    form->HandleNeeded();
    updateRange(*view);
    bar->SetPosition(kCell / 2);  // show that the view follows the bar
    desktop.ProcessMessages();

    bool shownOnDisplay = false;
#ifdef TARVO_DEMO_X11
    if (presenter) {
      shownOnDisplay = true;
      const std::uint32_t limit =
          seconds >= 0 ? static_cast<std::uint32_t>(seconds) * 1000u : UINT32_MAX;
      desktop.RunUntil([&] { return form->closed; }, limit);
    }
#endif
    if (!shownOnDisplay && screenshot.empty()) screenshot = "tarvo-demo.png";
    if (!screenshot.empty()) {
      desktop.ProcessMessages();
      const auto image = desktop.Screenshot();
      if (!image->SavePNG(screenshot)) {
        std::fprintf(stderr, "tarvo_demo: cannot write %s\n", screenshot.c_str());
        return 1;
      }
      std::printf("screenshot: %s\n", screenshot.c_str());
    }
    form.reset();
#ifdef TARVO_DEMO_X11
    presenter.reset();
#endif
    TDesktop::SetCurrent(nullptr);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarvo_demo: %s\n", e.what());
    return 1;
  }
}
