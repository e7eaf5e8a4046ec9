// Typing in a document: an editor window whose page fills with text a character at a time, the
// caret running ahead, with a pause after each sentence; a full page is cleared and begun again.
#include "sim/display/glyphs.h"
#include "sim/display/scene_factories.h"
#include "sim/display/scene_kit.h"

namespace kxsim {
namespace {

constexpr int kTextScale = 2;
constexpr LONG kLineHeight = 26;
constexpr int kFramesPerCharacter = 3;  // 20 characters a second
constexpr LONG kCaretWidth = 2;
constexpr ULONG kPaper = 0xFFFFFF;
constexpr ULONG kInk = 0x202428;

class TypingScene : public Scene {
 public:
  explicit TypingScene(const SceneSetting& setting)
      : setting_(setting), random_(MixSeed(setting.seed, 11)) {}

  void Start(const Canvas& canvas) override {
    DrawWallpaper(canvas, setting_.seed);
    LONG marginX = canvas.width / 16, marginY = canvas.height / 16;
    PixelRect outer{marginX, marginY, canvas.width - marginX, canvas.height - marginY};
    PixelRect client = DrawWindow(canvas, outer, "notes.txt - editor", Rgb(232, 234, 237));
    page_ = {client.left + 40, client.top + 24, client.right - 40, client.bottom - 24};
    Fill(canvas, page_, kPaper);
    text_ = {page_.left + 24, page_.top + 20, page_.right - 24, page_.bottom - 20};
    caretX_ = text_.left;
    caretY_ = text_.top + WrittenBefore(canvas);
    DrawCaret(canvas, kInk);
  }

  void Step(const Canvas& canvas, std::vector<PixelRect>* damage) override {
    if (pause_ > 0) {
      pause_--;
      Blink(canvas, damage);
      return;
    }
    if (++frame_ % kFramesPerCharacter != 0) return;
    DrawCaret(canvas, kPaper);
    damage->push_back(CaretRect(canvas));
    TypeOne(canvas, damage);
    DrawCaret(canvas, kInk);
    damage->push_back(CaretRect(canvas));
  }

 private:
  PixelRect CaretRect(const Canvas& canvas) const {
    PixelRect caret{caretX_, caretY_ - 2, caretX_ + kCaretWidth, caretY_ + GlyphHeight(kTextScale)};
    return Intersection(caret, canvas.Bounds());
  }
  void DrawCaret(const Canvas& canvas, ULONG rgb) { Fill(canvas, CaretRect(canvas), rgb); }

  // The document already holds a few paragraphs, up to about a third of the page; the caret
  // starts on the line after them. Their height.
  LONG WrittenBefore(const Canvas& canvas) {
    LONG lines = (text_.Height() / kLineHeight) / 3;
    LONG height = 0;
    for (LONG line = 0; line < lines; line++) {
      bool lastOfParagraph = random_.Below(4) == 0;
      LONG width = lastOfParagraph ? text_.Width() * random_.Between(20, 70) / 100 : text_.Width();
      DrawText(canvas, text_.left, text_.top + height, NextLine(&random_, width, kTextScale), kInk,
               kTextScale);
      height += lastOfParagraph ? 2 * kLineHeight : kLineHeight;
    }
    return height;
  }

  // The caret shows for half a second and hides for half a second while the writer thinks.
  void Blink(const Canvas& canvas, std::vector<PixelRect>* damage) {
    if (pause_ % 30 != 0) return;
    DrawCaret(canvas, (pause_ / 30) % 2 ? kPaper : kInk);
    damage->push_back(CaretRect(canvas));
  }

  void TypeOne(const Canvas& canvas, std::vector<PixelRect>* damage) {
    if (next_ >= word_.size()) {
      NextWordOrSentence();
      if (caretX_ + TextWidth(word_, kTextScale) > text_.right) NewLine(canvas, damage);
    }
    char c = word_[next_++];
    if (c != ' ') {
      PixelRect cell = DrawText(canvas, caretX_, caretY_, std::string(1, c), kInk, kTextScale);
      damage->push_back(Intersection(cell, canvas.Bounds()));
    }
    caretX_ += GlyphAdvance(kTextScale);
    if (c == '.') pause_ = random_.Between(20, 70);
  }

  void NextWordOrSentence() {
    word_ = NextWord(&random_);
    if (++wordsInSentence_ >= random_.Between(6, 14)) {
      word_ += ".";
      wordsInSentence_ = 0;
    }
    word_ += " ";
    next_ = 0;
  }

  void NewLine(const Canvas& canvas, std::vector<PixelRect>* damage) {
    caretX_ = text_.left;
    caretY_ += kLineHeight;
    if (caretY_ + kLineHeight <= text_.bottom) return;
    // A full page: a fresh one.
    Fill(canvas, page_, kPaper);
    damage->push_back(page_);
    caretY_ = text_.top;
  }

  SceneSetting setting_;
  SceneRandom random_;
  PixelRect page_;
  PixelRect text_;
  LONG caretX_ = 0;
  LONG caretY_ = 0;
  std::string word_;
  size_t next_ = 0;
  int wordsInSentence_ = 0;
  int frame_ = 0;
  int pause_ = 0;
};

}  // namespace

std::unique_ptr<Scene> MakeTypingScene(const SceneSetting& setting) {
  return std::make_unique<TypingScene>(setting);
}

}  // namespace kxsim
