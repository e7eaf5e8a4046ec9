// Every implementation of the stages this build holds, for tests that must hold at every level.
#pragma once

#include <vector>

#include "jpeg/stages.h"

namespace jpegtest {

inline std::vector<const JpegStageRoutines*> AllStageLevels() {
  std::vector<const JpegStageRoutines*> levels;
  for (ULONG i = 0; JpegStageRoutinesAt(i) != nullptr; i++) {
    levels.push_back(JpegStageRoutinesAt(i));
  }
  return levels;
}

}  // namespace jpegtest
