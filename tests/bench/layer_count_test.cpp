// The layers part's reading of a callgrind profile: each instruction once, in the layer of the
// source it came from, the compiler's intrinsics in the function that uses them, and a library
// routine in the layer of the code that called it.
#include <gtest/gtest.h>

#include "tools/kxsim/layer_count.h"

namespace kxtest {
namespace {

using kxsim::Layer;

TEST(LayerCount, FilesFallIntoTheLayersOfTheTree) {
  const std::string tree = "/src/kx";
  EXPECT_EQ(Layer::Driver, kxsim::LayerOfFile("/src/kx/pipeline/frame_worker.cpp", tree));
  EXPECT_EQ(Layer::Driver, kxsim::LayerOfFile("/src/kx/platform/host/io.h", tree))
      << "the platform headers' inline routines are compiled into the driver";
  EXPECT_EQ(Layer::HostKernel, kxsim::LayerOfFile("/src/kx/platform/host/src/mdl.cpp", tree));
  EXPECT_EQ(Layer::Encoder, kxsim::LayerOfFile("/src/kx/jpeg/huffman_x86.h", tree));
  EXPECT_EQ(Layer::Simulated, kxsim::LayerOfFile("/src/kx/sim/usb/usb_port.cpp", tree));
  EXPECT_EQ(Layer::Harness, kxsim::LayerOfFile("/src/kx/tools/kxsim/main.cpp", tree));
  EXPECT_EQ(Layer::Libraries, kxsim::LayerOfFile("/src/kxother/jpeg/x.cpp", tree));
  EXPECT_EQ(Layer::Libraries, kxsim::LayerOfFile("???", tree));
}

// Names given once by id and then by id alone (also in a call's lines), positions relative to
// the line before, a call's inclusive cost line, inlined files, and two event columns.
const char kProfile[] =
    "# callgrind format\n"
    "version: 1\n"
    "positions: line\n"
    "events: Ir Dr\n"
    "ob=(1) /bin/kxsim\n"
    "fl=(1) /src/kx/pipeline/present.cpp\n"
    "fn=(1) Present\n"
    "10 100 7\n"
    "+2 50\n"
    "fi=(2) /src/kx/platform/host/src/irql.cpp\n"
    "-1 30\n"
    "fe=(1)\n"
    "cob=(2) /lib/libc.so.6\n"
    "cfi=(3) ./string/memmove.S\n"
    "cfn=(2) memcpy\n"
    "calls=2 0\n"
    "12 400 9\n"
    "cfi=(4) /src/kx/jpeg/encoder.cpp\n"
    "cfn=(3) JpegEncodeFrame\n"
    "calls=1 0\n"
    "13 5000\n"
    "fl=(4)\n"
    "fn=(3)\n"
    "fi=(5) /usr/lib/gcc/x86_64-linux-gnu/12/include/avx2intrin.h\n"
    "40 4000\n"
    "fe=(4)\n"
    "41 1000\n"
    "ob=(2)\n"
    "fl=(3)\n"
    "fn=(2)\n"
    "0 400\n"
    "fn=(4) pthread_start\n"
    "0 25\n"
    "totals: 5605\n";

TEST(LayerCount, EachInstructionOnceInItsLayer) {
  kxsim::LayerCounts counts;
  std::string error;
  ASSERT_TRUE(kxsim::ParseCallgrindLayers(kProfile, "/src/kx", &counts, &error)) << error;
  EXPECT_EQ(150u + 400u, counts.Of(Layer::Driver)) << "its own lines and the copy it called";
  EXPECT_EQ(30u, counts.Of(Layer::HostKernel)) << "the line inlined from the host kernel";
  EXPECT_EQ(5000u, counts.Of(Layer::Encoder)) << "the intrinsics in the encoder's function";
  EXPECT_EQ(25u, counts.Of(Layer::Libraries)) << "library code no code of the tree called";
  EXPECT_EQ(5605u, counts.Total()) << "the calls' inclusive costs are not counted again";
}

TEST(LayerCount, AProfileWithoutInstructionsIsRefused) {
  kxsim::LayerCounts counts;
  std::string error;
  EXPECT_FALSE(kxsim::ParseCallgrindLayers("events: Dr\nfn=(1) f\n1 2\n", "/src", &counts,
                                           &error));
  EXPECT_NE(std::string::npos, error.find("Ir"));
}

}  // namespace
}  // namespace kxtest
