#include "pool_growth.h"

#include "host/hostk.h"

namespace kxsim {
namespace {

TagLevel LevelOf(const PoolLevel& level, ULONG tag) {
  auto found = level.find(tag);
  return found != level.end() ? found->second : TagLevel{};
}

bool Above(const TagLevel& a, const TagLevel& b) {
  return a.blocks > b.blocks || a.bytes > b.bytes;
}

}  // namespace

PoolLevel SamplePool() {
  PoolLevel level;
  for (const hostk::PoolBlock& block : hostk::PoolLiveBlocks()) {
    level[block.tag].blocks++;
    level[block.tag].bytes += block.size;
  }
  return level;
}

std::string SustainedGrowth(const std::vector<PoolLevel>& samples) {
  if (samples.size() < 2) return "";
  std::map<ULONG, size_t> rises;
  for (size_t i = 1; i < samples.size(); i++) {
    for (const auto& entry : samples[i]) {
      if (Above(entry.second, LevelOf(samples[i - 1], entry.first))) rises[entry.first]++;
    }
  }
  size_t intervals = samples.size() - 1;
  std::string text;
  for (const auto& entry : rises) {
    TagLevel first = LevelOf(samples.front(), entry.first);
    TagLevel last = LevelOf(samples.back(), entry.first);
    if (2 * entry.second <= intervals || !Above(last, first)) continue;
    text += (text.empty() ? "" : "; ") + hostk::PoolTagName(entry.first) + ": " +
            std::to_string(last.blocks) + " blocks, " + std::to_string(last.bytes) +
            " bytes (first sample " + std::to_string(first.blocks) + ", " +
            std::to_string(first.bytes) + "), rose in " + std::to_string(entry.second) + " of " +
            std::to_string(intervals) + " intervals";
  }
  return text;
}

}  // namespace kxsim
