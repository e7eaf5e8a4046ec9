// Random sequences of what a display driver does to one output (presents of overlapping, touching
// and edge rectangles at every depth with either pitch sign, modes of the same and of other sizes,
// stops, bursts that fill the queue, frames large enough to go as bands, all of it also while the
// worker is held on data channel 1), each on a seed it prints. Whenever the output streams and the
// worker is idle, the far side must show exactly what the store holds: every rectangle the worker
// sent since the last check is coded again from the last presented pixels, decoded as the far side
// decodes and drawn over the far side's picture at that check; a block that differs (inside its
// outermost ring, where the decoder's chroma smoothing of a neighbour's colour cannot reach) is
// an update the far side never got. KX_PRESENT_SEEDS=N runs N seeds from KX_PRESENT_FIRST_SEED (a campaign).
#include <cstdlib>
#include <random>

#include "jpeg/jpeg.h"
#include "pipeline_fixture.h"
#include "sim/adapter/jpeg_decoder.h"
#include "tools/kxsim/far_side_check.h"

namespace kxtest {
namespace {

constexpr ULONG kLeastPixelBuffer = 16;  // a present's pixel buffer holds at least 10 bytes

struct Mode {
  USHORT width = 0, height = 0, bpp = 0;
  ULONG Stride() const { return ULONG(width) * 4; }
  ULONG Bytes() const { return bpp / 8u; }
  bool SameLayout(const Mode& other) const {
    return width == other.width && height == other.height && bpp == other.bpp;
  }
};

class RandomPresents : public PipelineTest {
 protected:
  void SetUp() override {
    watchWire_ = true;
    Plug();
  }

  // One seed on a display of its own, bound to channel 0.
  void RunSeed(uint64_t seed, LONG displayId);

 private:
  LONG Coordinate(LONG limit);
  void SetRandomMode(bool sameSize);
  void PresentRandom();
  void PresentBurst();
  void StopOutput();
  void PresentBands();
  void HoldChannel();
  void Check();
  // The present code with `descriptor` over the whole of `pixels`, from user memory.
  NTSTATUS PresentPixels(const std::vector<uint8_t>& descriptor, const hostk::UserBuffer& pixels);
  std::vector<uint8_t> Replay(const std::vector<kxsim::SentRect>& sent);
  void DrawCoded(std::vector<uint8_t>* rgb, const kxsim::PixelRect& rect);

  std::mt19937_64 random_;
  PDEVICE_OBJECT child_ = nullptr;
  LONG displayId_ = 0;
  Mode mode_;
  bool streaming_ = false;
  bool held_ = false;
  std::vector<uint8_t> store_;  // what the driver's FrameStore must hold: Stride() bytes a row
  std::vector<uint8_t> base_;   // the far side at the last check, or black after a new size
  std::vector<kxsim::SentRect> sent_;  // on the wire since then
  std::string history_;                // what the seed did, for a failure's message
};

// Edges are where faults live: 0, the output's end, the block grid and one pixel either side.
LONG RandomPresents::Coordinate(LONG limit) {
  switch (random_() % 4) {
    case 0: return 0;
    case 1: return limit;
    case 2: {
      LONG grid = LONG(random_() % (limit / 16 + 1)) * 16 + LONG(random_() % 3) - 1;
      return std::clamp<LONG>(grid, 0, limit);
    }
    default: return LONG(random_() % (limit + 1));
  }
}

void RandomPresents::SetRandomMode(bool sameSize) {
  static const USHORT kSizes[][2] = {{64, 48}, {96, 64}, {40, 72}, {48, 48}};
  static const USHORT kDepths[] = {8, 16, 24, 32};
  Mode next = mode_;
  if (!sameSize || next.width == 0) {
    const USHORT* size = kSizes[random_() % 4];
    next.width = size[0];
    next.height = size[1];
  }
  next.bpp = kDepths[random_() % 4];
  USHORT extra = USHORT(random_() % 3);
  bool resized = next.width != mode_.width || next.height != mode_.height;
  // A new size clears the far side at its mode block: what it showed before is gone.
  if (resized) {
    Settle();
    Check();
    sent_.clear();
    wire_->Take();
  }
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child_, next.width, next.height, next.bpp, extra));
  if (!next.SameLayout(mode_)) store_.assign(size_t(next.Stride()) * next.height, 0);
  if (resized) base_.assign(size_t(next.width) * next.height * 3, 0);
  mode_ = next;
  streaming_ = true;
  history_ += "mode " + std::to_string(next.width) + "x" + std::to_string(next.height) + "x" +
              std::to_string(next.bpp) + "; ";
}

// One rectangle of random pixels from a buffer whose rows run down or up.
void RandomPresents::PresentRandom() {
  LONG left = Coordinate(mode_.width), right = Coordinate(mode_.width);
  LONG top = Coordinate(mode_.height), bottom = Coordinate(mode_.height);
  if (left > right) std::swap(left, right);
  if (top > bottom) std::swap(top, bottom);
  if (left == right) right = std::min<LONG>(left + 1, mode_.width), left = right - 1;
  if (top == bottom) bottom = std::min<LONG>(top + 1, mode_.height), top = bottom - 1;
  ULONG rowBytes = ULONG(right - left) * mode_.Bytes();
  LONG rows = bottom - top;
  ULONG pitch = rowBytes + ULONG(random_() % 3) * 4;
  ULONG total = std::max(pitch * ULONG(rows), kLeastPixelBuffer);
  hostk::UserBuffer pixels(total);
  for (ULONG i = 0; i < total; i++) pixels.Data()[i] = uint8_t(random_() >> 13);
  bool upward = random_() % 2 != 0;
  ULONG offset = upward ? pitch * ULONG(rows - 1) : 0;
  LONG signedPitch = upward ? -LONG(pitch) : LONG(pitch);
  ASSERT_EQ(STATUS_SUCCESS, PresentPixels(DescriptorBytes(left, top, right, bottom, offset,
                                                          signedPitch, total, UCHAR(mode_.bpp)),
                                          pixels))
      << left << "," << top << "-" << right << "," << bottom;
  history_ += "present " + std::to_string(left) + "," + std::to_string(top) + "-" +
              std::to_string(right) + "," + std::to_string(bottom) + (upward ? " up; " : "; ");
  for (LONG row = 0; row < rows; row++) {
    const uint8_t* source = pixels.Data() + offset + LONG(row) * signedPitch;
    uint8_t* into = &store_[size_t(top + row) * mode_.Stride() + size_t(left) * mode_.Bytes()];
    std::copy_n(source, rowBytes, into);
  }
}

// Single pixels two apart, more than the queue's 127 slots can hold apart, with the worker held.
void RandomPresents::PresentBurst() {
  bool hold = !held_;
  if (hold) KeWaitForSingleObject(&bus_->Channel1Lock, Executive, KernelMode, FALSE, nullptr);
  for (int i = 0; i < 140; i++) {
    LONG x = LONG(random_() % (mode_.width / 2)) * 2, y = LONG(random_() % (mode_.height / 2)) * 2;
    ULONG bytes = mode_.Bytes();
    hostk::UserBuffer pixels(kLeastPixelBuffer);
    for (ULONG b = 0; b < bytes; b++) pixels.Data()[b] = uint8_t(random_() >> 17);
    ASSERT_EQ(STATUS_SUCCESS, PresentPixels(DescriptorBytes(x, y, x + 1, y + 1, 0, LONG(bytes),
                                                            kLeastPixelBuffer, UCHAR(mode_.bpp)),
                                            pixels));
    std::copy_n(pixels.Data(), bytes, &store_[size_t(y) * mode_.Stride() + size_t(x) * bytes]);
  }
  if (hold) KeReleaseMutex(&bus_->Channel1Lock, FALSE);
  history_ += "burst; ";
}

// A frame whose pixels exceed the worker's staging buffer goes as bands, each a stream of its own.
void RandomPresents::PresentBands() {
  Settle();
  Check();
  sent_.clear();
  wire_->Take();
  mode_ = Mode{1824, 1440, 32};
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child_, mode_.width, mode_.height, mode_.bpp));
  store_.assign(size_t(mode_.Stride()) * mode_.height, 0);
  base_.assign(size_t(mode_.width) * mode_.height * 3, 0);
  streaming_ = true;
  ULONG total = mode_.Stride() * mode_.height;
  hostk::UserBuffer pixels(total);
  for (ULONG i = 0; i < total; i++) {
    pixels.Data()[i] = uint8_t(i / 4 % mode_.width + i / mode_.Stride() + (random_() & 15));
  }
  ASSERT_EQ(STATUS_SUCCESS,
            PresentPixels(DescriptorBytes(0, 0, mode_.width, mode_.height, 0,
                                          LONG(mode_.Stride()), total),
                          pixels));
  std::copy_n(pixels.Data(), total, store_.data());
  history_ += "bands; ";
  Check();
  mode_ = Mode{};
  SetRandomMode(false);
}

NTSTATUS RandomPresents::PresentPixels(const std::vector<uint8_t>& descriptor,
                                       const hostk::UserBuffer& pixels) {
  hostk::UserBuffer user(descriptor.size());
  std::copy(descriptor.begin(), descriptor.end(), user.Data());
  return Ioctl(child_, IOCTL_DISPLAY_PRESENT, user.Data(), ULONG(descriptor.size()), pixels.Data(),
               ULONG(pixels.Length()));
}

void RandomPresents::StopOutput() {
  ASSERT_EQ(STATUS_SUCCESS, Stop(child_));
  streaming_ = false;
  history_ += "stop; ";
}

// A few steps while the worker waits on data channel 1 (a send of another output, say): what it
// took stays in flight and the rest piles up behind it. A new size waits until the hold ends.
void RandomPresents::HoldChannel() {
  KeWaitForSingleObject(&bus_->Channel1Lock, Executive, KernelMode, FALSE, nullptr);
  held_ = true;
  history_ += "hold { ";
  for (int steps = 1 + int(random_() % 5); steps > 0; steps--) {
    switch (random_() % 6) {
      case 0: SetRandomMode(true); break;
      case 1: StopOutput(); break;
      default: PresentRandom(); break;
    }
    if (random_() % 2) Settle();
  }
  held_ = false;
  KeReleaseMutex(&bus_->Channel1Lock, FALSE);
  history_ += "} ";
}

// The rectangle as the worker codes it from the store, decoded and drawn where the far side
// draws it.
void RandomPresents::DrawCoded(std::vector<uint8_t>* rgb, const kxsim::PixelRect& rect) {
  int width = rect.right - rect.left, height = rect.bottom - rect.top;
  ULONG bytes = mode_.Bytes();
  LONG channels = bytes == 3 ? 3 : 4;
  const uint8_t* first = &store_[size_t(rect.top) * mode_.Stride() + size_t(rect.left) * bytes];
  std::vector<uint8_t> packed;
  const uint8_t* source = first;
  LONG pitch = LONG(mode_.Stride());
  if (ULONG(channels) != bytes) {  // packed rows, then zeros where the last row is read past them
    size_t rowBytes = size_t(width) * bytes;
    packed.assign(rowBytes * height + size_t(width) * 4, 0);
    for (int row = 0; row < height; row++) {
      std::copy_n(first + size_t(row) * mode_.Stride(), rowBytes, &packed[rowBytes * row]);
    }
    source = packed.data();
    pitch = LONG(rowBytes);
  }
  std::vector<uint8_t> stream(size_t(width) * height * 8 + 4096);
  JpegEncodeParams params = {width, height, channels, source, pitch, 75, 3,
                             stream.data(), LONG(stream.size()), 0};
  ASSERT_EQ(JpegResultOk, JpegEncodeFrame(&params));
  kxsim::DecodedImage image = kxsim::DecodeJpeg(stream.data(), size_t(params.OutputLength));
  ASSERT_TRUE(image.ok) << image.message;
  for (int row = 0; row < height; row++) {
    std::copy_n(&image.rgb[size_t(row) * width * 3], size_t(width) * 3,
                &(*rgb)[(size_t(rect.top + row) * mode_.width + rect.left) * 3]);
  }
}

std::vector<uint8_t> RandomPresents::Replay(const std::vector<kxsim::SentRect>& sent) {
  std::vector<uint8_t> rgb = base_;
  for (const kxsim::SentRect& one : sent) {
    const kxsim::PixelRect& rect = one.rect;
    if (rect.right > mode_.width || rect.bottom > mode_.height) continue;  // an older size's
    DrawCoded(&rgb, rect);
  }
  return rgb;
}

void RandomPresents::Check() {
  if (!streaming_ || mode_.width == 0) return;
  Settle();
  // A mode set while a stop was still on its way is dropped with it (the stop wins the worker's
  // visit): the output is stopped then, and its far side owes nothing yet.
  if (!Interlocked(bus_->Channels[0].Active)) {
    streaming_ = false;
    history_ += "(stopped) ";
    return;
  }
  for (const kxsim::SentRect& one : wire_->Take()) sent_.push_back(one);
  auto display = adapter_->Display(displayId_);
  ASSERT_TRUE(display.has_value());
  // At 8 and 16 bits the encoder reads the packed rows 4 bytes a pixel, so what a rectangle
  // shows depends on the pixels of its whole width and of the row below: the far side's picture is
  // no function of the store there, and only the transitions around those modes are driven.
  if (mode_.bpp < 24) {
    base_ = display->rgb;
    sent_.clear();
    history_ += "check (not compared); ";
    return;
  }
  std::vector<uint8_t> expected = Replay(sent_);
  ASSERT_EQ(expected.size(), display->rgb.size()) << history_;
  for (const kxsim::SentRect& one : sent_) {
    history_ += "[sent " + std::to_string(one.rect.left) + "," + std::to_string(one.rect.top) +
                "-" + std::to_string(one.rect.right) + "," + std::to_string(one.rect.bottom) + "] ";
  }
  kxsim::FarSideComparison result =
      kxsim::CompareFarSideTo(expected, display->rgb, mode_.width, mode_.height);
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_EQ(0u, result.staleBlocks)
      << "first stale block at " << result.firstStale.left << "," << result.firstStale.top
      << " of " << mode_.width << "x" << mode_.height << "x" << mode_.bpp << " after: " << history_.substr(history_.size() > 900 ? history_.size() - 900 : 0);
  base_ = display->rgb;
  sent_.clear();
  history_ += "check; ";
}

void RandomPresents::RunSeed(uint64_t seed, LONG displayId) {
  random_.seed(seed);
  history_ = "seed " + std::to_string(seed) + ": ";
  StopFrameWorker(bus_);
  bus_->Channels[0].Free = 1;
  displayId_ = displayId;
  child_ = AddChild(0, displayId);
  mode_ = Mode{};
  streaming_ = false;
  sent_.clear();
  wire_->Take();
  SetRandomMode(false);
  // One seed in four also sends a frame as bands.
  bool bands = seed % 4 == 0;
  for (int step = 0; step < 60 && !HasFatalFailure(); step++) {
    switch (random_() % 16) {
      case 0: SetRandomMode(false); break;
      case 1: SetRandomMode(true); break;
      case 2: StopOutput(); break;
      case 3: HoldChannel(); break;
      case 4: PresentBurst(); break;
      case 5: Check(); break;
      case 6:
        if (bands) PresentBands();
        bands = false;
        break;
      default: PresentRandom(); break;
    }
  }
  if (HasFatalFailure()) return;
  Settle();
  if (!streaming_ || !Interlocked(bus_->Channels[0].Active)) SetRandomMode(true);
  Check();
  EXPECT_TRUE(streaming_) << "the seed ended without a last check";
}

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::strtoull(value, nullptr, 10) : fallback;
}

TEST_F(RandomPresents, TheFarSideShowsEveryAcknowledgedPresent) {
  uint64_t first = EnvNumber("KX_PRESENT_FIRST_SEED", 1);
  uint64_t count = EnvNumber("KX_PRESENT_SEEDS", 12);
  for (uint64_t seed = first; seed < first + count && !HasFatalFailure(); seed++) {
    std::printf("random presents: seed %llu\n", (unsigned long long)seed);
    RunSeed(seed, LONG(seed - first) + 1);
  }
  ExpectNoViolations();
}

}  // namespace
}  // namespace kxtest
