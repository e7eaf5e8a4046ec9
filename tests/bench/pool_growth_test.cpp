// The soak's rule for the pool: a tag that grows interval after interval is a leak and is named;
// a cache made or enlarged once, or a level that only moves back and forth, is not.
#include <gtest/gtest.h>

#include <vector>

#include "host/hostk.h"
#include "tools/kxsim/pool_growth.h"

namespace kxtest {
namespace {

using kxsim::PoolLevel;
using kxsim::SustainedGrowth;

const ULONG kLeaky = hostk::PoolTag("Leak");
const ULONG kCache = hostk::PoolTag("KMOD");

std::vector<PoolLevel> Samples(std::initializer_list<std::pair<size_t, size_t>> leakyAndCache) {
  std::vector<PoolLevel> samples;
  for (const auto& blocks : leakyAndCache) {
    PoolLevel level;
    if (blocks.first != 0) level[kLeaky] = {blocks.first, blocks.first * 100};
    if (blocks.second != 0) level[kCache] = {blocks.second, blocks.second * 65536};
    samples.push_back(level);
  }
  return samples;
}

TEST(PoolGrowth, ALeakIsNamedEvenBesideACacheThatGrewOnce) {
  std::string growth = SustainedGrowth(Samples({{4, 3}, {5, 3}, {6, 6}, {7, 6}, {8, 6}, {9, 6}}));
  EXPECT_NE(std::string::npos, growth.find("Leak: 9 blocks, 900 bytes (first sample 4, 400)"))
      << growth;
  EXPECT_NE(std::string::npos, growth.find("rose in 5 of 5 intervals")) << growth;
  EXPECT_EQ(std::string::npos, growth.find("KMOD")) << growth;
}

TEST(PoolGrowth, StepsAndSwingsAreNoLeak) {
  EXPECT_EQ("", SustainedGrowth(Samples({{4, 3}, {4, 6}, {4, 6}, {4, 9}, {4, 9}, {4, 9}})));
  // Up and down again: in flight at some samples, not at others; and a tag that went away.
  EXPECT_EQ("", SustainedGrowth(Samples({{4, 3}, {5, 3}, {4, 3}, {5, 3}, {4, 3}, {0, 3}})));
  // Rising in half of the intervals is not yet going on.
  EXPECT_EQ("", SustainedGrowth(Samples({{4, 3}, {5, 3}, {5, 3}, {6, 3}, {6, 3}})));
}

TEST(PoolGrowth, TwoSamplesDecideOnTheirOneInterval) {
  EXPECT_EQ("", SustainedGrowth(Samples({{4, 3}})));
  EXPECT_NE("", SustainedGrowth(Samples({{4, 3}, {5, 3}})));
}

}  // namespace
}  // namespace kxtest
