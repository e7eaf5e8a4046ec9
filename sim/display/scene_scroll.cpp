// A page scrolling in a browser: paragraphs, headings and pictures of an endless page move up
// through the window in strokes with pauses between; each frame that moves reports the whole
// content pane.
#include <cmath>
#include <deque>

#include "sim/display/glyphs.h"
#include "sim/display/scene_factories.h"
#include "sim/display/scene_kit.h"

namespace kxsim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kStrokeFrames = 120;
constexpr int kPauseFrames = 30;
constexpr LONG kScrollbarWidth = 14;
constexpr LONG kThumbHeight = 80;
constexpr ULONG kPaper = 0xFFFFFF;

struct PageBlock {
  enum Kind { kText, kHeading, kPicture };
  Kind kind = kText;
  LONG top = 0;  // page coordinates
  LONG bottom = 0;
  std::string text;
  size_t picture = 0;
  LONG width = 0;  // of a picture
};

// The endless page, made a block at a time as the view reaches it.
class Page {
 public:
  Page(uint64_t seed, LONG width, const ScenePictures* pictures)
      : random_(seed), width_(width), pictures_(pictures) {}

  // Drops blocks above `top`, makes blocks down to `bottom`.
  void Cover(LONG top, LONG bottom) {
    while (!blocks_.empty() && blocks_.front().bottom < top) blocks_.pop_front();
    while (end_ < bottom) Append();
  }

  // The blocks of page rows [top, bottom) drawn at canvas row `screenTop` and on, from column
  // `area.left`, over paper the caller laid.
  void Draw(const Canvas& canvas, const PixelRect& area, LONG top, LONG screenTop) const {
    LONG bottom = top + area.Height();
    for (const PageBlock& block : blocks_) {
      if (block.bottom <= top || block.top >= bottom) continue;
      LONG y = screenTop + block.top - top;
      DrawBlock(canvas, block, area.left, y);
    }
  }

 private:
  void Append() {
    PageBlock block;
    block.top = end_;
    int choice = random_.Below(10);
    if (choice == 0) {
      block.kind = PageBlock::kHeading;
      block.text = NextLine(&random_, width_ * 2 / 3, 3);
      block.bottom = block.top + GlyphHeight(3) + 22;
    } else if (choice == 1) {
      block.kind = PageBlock::kPicture;
      block.width = width_ * random_.Between(40, 70) / 100;
      block.bottom = block.top + block.width * 9 / 16 + 20;
      bool any = pictures_ != nullptr && !pictures_->empty();
      block.picture = any ? size_t(random_.Below(int(pictures_->size()))) : 0;
    } else {
      block.kind = PageBlock::kText;
      LONG width = random_.Below(6) == 0 ? width_ * random_.Between(30, 80) / 100 : width_;
      block.text = NextLine(&random_, width, 2);
      block.bottom = block.top + 26;
    }
    end_ = block.bottom;
    blocks_.push_back(block);
  }

  void DrawBlock(const Canvas& canvas, const PageBlock& block, LONG left, LONG y) const {
    switch (block.kind) {
      case PageBlock::kText: DrawText(canvas, left, y, block.text, Rgb(34, 34, 34), 2); break;
      case PageBlock::kHeading:
        DrawText(canvas, left, y + 10, block.text, Rgb(20, 50, 110), 3);
        break;
      case PageBlock::kPicture: {
        PixelRect rect{left, y + 6, left + block.width, y + block.bottom - block.top - 14};
        if (pictures_ != nullptr && !pictures_->empty()) {
          BlitScaled(canvas, rect, (*pictures_)[block.picture]);
        } else {
          FillGradient(canvas, rect, Rgb(70, 130, 180), Rgb(240, 200, 120));
        }
        break;
      }
    }
  }

  SceneRandom random_;
  LONG width_;
  const ScenePictures* pictures_;
  std::deque<PageBlock> blocks_;
  LONG end_ = 0;
};

class ScrollScene : public Scene {
 public:
  explicit ScrollScene(const SceneSetting& setting) : setting_(setting) {}

  void Start(const Canvas& canvas) override {
    DrawWallpaper(canvas, setting_.seed);
    LONG margin = canvas.width / 40;
    PixelRect outer{margin, margin, canvas.width - margin, canvas.height - margin};
    PixelRect client = DrawWindow(canvas, outer, "news - browser", Rgb(241, 243, 244));
    PixelRect address{client.left + 12, client.top + 8, client.right - 12, client.top + 38};
    Fill(canvas, address, 0xFFFFFF);
    DrawText(canvas, address.left + 10, address.top + 6, "https://news.example/today",
             Rgb(80, 80, 80), 2);
    pane_ = {client.left, client.top + 48, client.right, client.bottom};
    content_ = {pane_.left, pane_.top, pane_.right - kScrollbarWidth, pane_.bottom};
    LONG textLeft = content_.left + content_.Width() / 8;
    text_ = {textLeft, content_.top, content_.right - content_.Width() / 8, content_.bottom};
    page_ = std::make_unique<Page>(MixSeed(setting_.seed, 31), text_.Width(), setting_.pictures);
    scroll_ = 0;
    frame_ = 0;
    page_->Cover(0, content_.Height());
    DrawRows(canvas, content_.top, content_.bottom);
    DrawScrollbar(canvas);
  }

  void Step(const Canvas& canvas, std::vector<PixelRect>* damage) override {
    LONG rows = RowsThisFrame();
    frame_++;
    if (rows == 0) return;
    scroll_ += rows;
    page_->Cover(scroll_, scroll_ + content_.Height());
    ScrollUp(canvas, content_, rows);
    DrawRows(canvas, content_.bottom - rows, content_.bottom);
    DrawScrollbar(canvas);
    damage->push_back(pane_);
  }

 private:
  // A stroke speeds up and slows down again; the fastest frame moves a sixtieth of the display.
  LONG RowsThisFrame() const {
    int at = frame_ % (kStrokeFrames + kPauseFrames);
    if (at >= kStrokeFrames) return 0;
    double fastest = setting_.height / 60.0;
    return LONG(std::lround(fastest * std::sin(kPi * (at + 0.5) / kStrokeFrames)));
  }

  // Content rows [top, bottom) of the canvas, from the page as scrolled.
  void DrawRows(const Canvas& canvas, LONG top, LONG bottom) {
    PixelRect strip{content_.left, top, content_.right, bottom};
    Canvas clipped = Clipped(canvas, strip);
    Fill(clipped, strip, kPaper);
    LONG pageTop = scroll_ + (top - content_.top);
    page_->Draw(clipped, {text_.left, top, text_.right, bottom}, pageTop, top);
  }

  void DrawScrollbar(const Canvas& canvas) {
    PixelRect track{content_.right, pane_.top, pane_.right, pane_.bottom};
    Fill(canvas, track, Rgb(225, 225, 225));
    LONG travel = std::max<LONG>(1, track.Height() - kThumbHeight);
    LONG top = track.top + (scroll_ / 8) % travel;
    Fill(canvas, {track.left + 3, top, track.right - 3, top + kThumbHeight}, Rgb(150, 150, 150));
  }

  SceneSetting setting_;
  std::unique_ptr<Page> page_;
  PixelRect pane_;
  PixelRect content_;
  PixelRect text_;
  LONG scroll_ = 0;
  int frame_ = 0;
};

}  // namespace

std::unique_ptr<Scene> MakeScrollScene(const SceneSetting& setting) {
  return std::make_unique<ScrollScene>(setting);
}

}  // namespace kxsim
