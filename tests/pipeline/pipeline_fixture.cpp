#include "pipeline_fixture.h"

#include <algorithm>
#include <filesystem>

#include "host/hostk/pnp.h"
#include "host/hostk/registry.h"
#include "jpeg/jpeg.h"
#include "tools/kxsim/libjpeg_peer.h"

namespace kxtest {

void PipelineTest::Plug(kxsim::VirtualAdapterOptions options, Start start) {
  adapter_ = std::make_shared<kxsim::VirtualAdapter>(options);
  std::shared_ptr<kxsim::UsbDeviceModel> device = adapter_->Device();
  if (watchWire_) device = wire_ = std::make_shared<kxsim::WireWatch>(device);
  port_ = std::make_unique<kxsim::SimulatedUsbPort>(device, portOptions_);
  driver_ = hostk::PnpLoadDriver("KxBusIdd", DriverEntry);
  ASSERT_NE(nullptr, driver_);
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpAddDevice(driver_, port_->Pdo()));
  fdo_ = port_->Pdo()->AttachedDevice;
  bus_ = (BusDeviceContext*)fdo_->DeviceExtension;
  if (start == Start::None) return;
  if (start == Start::PlugAndPlay) {
    // The start reads the adapter's generation from the bridge and its options from the registry.
    hostk::RegistrySetValue(hostk::ServiceKeyPath("KxBusIdd") + "\\Parameters", "Legacy",
                            REG_BINARY, {(uint8_t)(options.legacy ? 1 : 0)});
    ASSERT_EQ(STATUS_SUCCESS,
              hostk::PnpStartDevice(port_->Pdo()));
    return;
  }
  JpegSelectStageRoutines();  // as the adapter's start does
  bus_->Legacy = options.legacy ? 1 : 0;
  ASSERT_EQ(STATUS_SUCCESS, ConfigureDevice(fdo_));
  bus_->ExtendedChip = options.Extended() ? 1 : 0;
  ReadCompressionOptions(bus_);
  SetBusPnpState(bus_, Started);
}

PDEVICE_OBJECT PipelineTest::AddChild(ULONG channel, LONG displayId) {
  PDEVICE_OBJECT child = nullptr;
  EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, sizeof(ChildDeviceContext), nullptr,
                                           FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &child));
  ChildDeviceContext* record = (ChildDeviceContext*)child->DeviceExtension;
  record->Header.Self = child;
  record->ParentDevice = fdo_;
  record->ChannelIndex = channel;
  record->Present = 1;
  InitializeEntryGate(&record->Requests, TRUE);
  record->DisplayId = (ULONG)displayId;
  child->Flags &= ~DO_DEVICE_INITIALIZING;
  bus_->Channels[channel].Free = 0;
  bus_->Channels[channel].DisplayId = displayId;
  children_.push_back(child);
  return child;
}

void PipelineTest::TearDown() {
  displayDrivers_.clear();
  for (PDEVICE_OBJECT child : children_) IoDeleteDevice(child);
  children_.clear();
  if (port_ != nullptr) {
    EXPECT_EQ(STATUS_SUCCESS, hostk::PnpRemoveDevice(port_->Pdo()));
  }
  port_.reset();
  adapter_.reset();
}

NTSTATUS PipelineTest::Ioctl(PDEVICE_OBJECT child, ULONG code, void* input, ULONG inputLength,
                             void* output, ULONG outputLength, ULONG_PTR* information) {
  return kxsim::DisplayIoctl(child, code, input, inputLength, output, outputLength, information);
}

NTSTATUS PipelineTest::SetMode(PDEVICE_OBJECT child, USHORT width, USHORT height,
                               USHORT bitsPerPixel, USHORT extra) {
  uint8_t mode[32] = {(uint8_t)width,        (uint8_t)(width >> 8),        (uint8_t)height,
                      (uint8_t)(height >> 8), (uint8_t)bitsPerPixel, (uint8_t)(bitsPerPixel >> 8),
                      (uint8_t)extra,        (uint8_t)(extra >> 8)};
  return Ioctl(child, IOCTL_DISPLAY_SET_MODE, mode, sizeof mode, nullptr, 0);
}

NTSTATUS PipelineTest::Stop(PDEVICE_OBJECT child) {
  uint8_t word[4] = {};
  return Ioctl(child, IOCTL_DISPLAY_STOP, word, sizeof word, nullptr, 0);
}

NTSTATUS PipelineTest::Present(PDEVICE_OBJECT child, const kxsim::BgrxImage& image, LONG left,
                               LONG top, LONG right, LONG bottom) {
  std::unique_ptr<kxsim::SimulatedDisplayDriver>& driver = displayDrivers_[child];
  if (driver == nullptr) driver = std::make_unique<kxsim::SimulatedDisplayDriver>(child);
  return driver->Present(image.pixels.data(), image.width, image.height, left, top, right, bottom);
}

void PipelineTest::Settle(LONGLONG hundredNs) {
  LARGE_INTEGER interval;
  interval.QuadPart = -hundredNs;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

double PipelineTest::FarPsnr(LONG displayId, const kxsim::BgrxImage& image) const {
  auto display = adapter_->Display(displayId);
  if (!display) return 0;
  return kxsim::Psnr(image, display->rgb);
}

void PipelineTest::ExpectNoViolations() const {
  std::string details;
  for (const std::string& line : adapter_->ViolationDetails()) details += line + "\n";
  EXPECT_EQ(0u, adapter_->ViolationTotal()) << details;
}

kxsim::BgrxImage SyntheticDesktop(int width, int height, int seed) {
  kxsim::BgrxImage image;
  image.width = width;
  image.height = height;
  image.pixels.resize((size_t)width * height * 4);
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      uint8_t* p = &image.pixels[((size_t)y * width + x) * 4];
      p[0] = (uint8_t)(x * 255 / std::max(1, width - 1));
      p[1] = (uint8_t)(y * 255 / std::max(1, height - 1));
      p[2] = (uint8_t)((x + y + seed * 37) & 0xFF);
      p[3] = 0;
      // A few boxes of one colour each.
      for (int b = 0; b < 3; b++) {
        int bx = (seed * 53 + b * 97) % std::max(1, width);
        int by = (seed * 31 + b * 71) % std::max(1, height);
        if (x >= bx && x < bx + width / 4 && y >= by && y < by + height / 4) {
          p[0] = (uint8_t)(40 * b + seed);
          p[1] = (uint8_t)(200 - 30 * b);
          p[2] = (uint8_t)(90 + 50 * b);
        }
      }
    }
  }
  return image;
}

std::vector<std::string> CorpusNames() {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(KX_CORPUS_DIR, error)) {
    if (entry.path().extension() == ".png") names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

kxsim::BgrxImage CorpusImage(const std::string& name) {
  kxsim::BgrxImage image;
  std::string error;
  if (!kxsim::LoadPng(std::string(KX_CORPUS_DIR) + "/" + name, &image, &error)) image = {};
  return image;
}

}  // namespace kxtest

namespace kxtest {

double EncoderPsnr(const kxsim::BgrxImage& image) {
  std::vector<uint8_t> stream(image.pixels.size() * 2 + 4096);
  JpegEncodeParams params = {image.width, image.height, 4, image.pixels.data(), image.width * 4,
                             75, 3, stream.data(), (LONG)stream.size(), 0};
  if (JpegEncodeFrame(&params) != JpegResultOk) return 0;
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  std::string error;
  if (!kxsim::DecodeToRgb(stream.data(), (size_t)params.OutputLength, &width, &height, &rgb,
                          &error)) {
    return 0;
  }
  return kxsim::Psnr(image, rgb);
}

}  // namespace kxtest
