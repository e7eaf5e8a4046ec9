// Every implementation of the stages this build holds and this processor runs, for tests that
// must hold at every level.
#pragma once

#include <cstdlib>
#include <vector>

#include "jpeg/stages.h"

namespace jpegtest {

// Caps the level later selections may pick at KX_JPEG_LEVEL (portable, sse2, ssse3, sse41, avx
// or avx2), or lifts the cap when it is unset; false for a name that is no level.
inline bool ApplyLevelLimitFromEnvironment() {
  const char* name = std::getenv("KX_JPEG_LEVEL");
  ULONG level = JpegLevelCount - 1;
  if (name != nullptr && *name != '\0' && !JpegStageLevelNamed(name, &level)) return false;
  JpegLimitStageLevel(level);
  return true;
}

inline std::vector<const JpegStageRoutines*> AllStageLevels() {
  std::vector<const JpegStageRoutines*> levels;
  for (ULONG i = 0; JpegStageRoutinesAt(i) != nullptr; i++) {
    if (JpegProcessorRunsLevel(i)) levels.push_back(JpegStageRoutinesAt(i));
  }
  return levels;
}

// word32_coders.cpp: tables of the SSSE3 level whose block and MCU coders keep their bits in the
// 32-bit word of the 32-bit kernel, for the levels this processor runs.
std::vector<const JpegStageRoutines*> Word32CoderStages();

// The same without the portable level, which the others are compared with.
inline std::vector<const JpegStageRoutines*> VectorStageLevels() {
  std::vector<const JpegStageRoutines*> levels = AllStageLevels();
  levels.erase(levels.begin());
  return levels;
}

// The vector levels, and the coders with the 32-bit word besides.
inline std::vector<const JpegStageRoutines*> CoderStageLevels() {
  std::vector<const JpegStageRoutines*> levels = VectorStageLevels();
  for (const JpegStageRoutines* stages : Word32CoderStages()) levels.push_back(stages);
  return levels;
}

}  // namespace jpegtest
