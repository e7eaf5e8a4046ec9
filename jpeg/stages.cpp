// The stage tables of every level, the table in use and its selection.
//
// The table is chosen once at adapter start, before any frame is encoded, and every encoder takes
// a copy of the pointer when it is created. Until a selection is made the portable stages are
// used.
#include "jpeg/stages.h"

#include "jpeg/jpeg.h"

const JpegStageRoutines JpegPortableStages = {
    "portable",
    JpegLevelPortable,
    JpegConvertRowPortable,
    JpegReduceRowH2V1Portable,
    JpegReduceRowH2V2Portable,
    JpegTransformBlockPortable,
    JpegTransformBlockPairPortable,
    JpegCodeBlockPortable,
    JpegCodeMcuPortable,
};

namespace {

const JpegStageRoutines Sse2Stages = {
    "sse2",
    JpegLevelSse2,
    JpegConvertRowSse2,
    JpegReduceRowH2V1Sse2,
    JpegReduceRowH2V2Sse2,
    JpegTransformBlockSse2,
    JpegTransformBlockPairSse2,
    JpegCodeBlockSse2,
    JpegCodeMcuSse2,
};

// pmaddubsw for the chroma pairs, pmulhrsw for the quantiser, pshufb for the zig-zag mask.
const JpegStageRoutines Ssse3Stages = {
    "ssse3",
    JpegLevelSsse3,
    JpegConvertRowSse2,
    JpegReduceRowH2V1Ssse3,
    JpegReduceRowH2V2Ssse3,
    JpegTransformBlockSsse3,
    JpegTransformBlockPairSsse3,
    JpegCodeBlockSsse3,
    JpegCodeMcuSsse3,
};

// pminuw in the quantiser; the rest is the SSSE3 level's.
const JpegStageRoutines Sse41Stages = {
    "sse41",
    JpegLevelSse41,
    JpegConvertRowSse2,
    JpegReduceRowH2V1Ssse3,
    JpegReduceRowH2V2Ssse3,
    JpegTransformBlockSse41,
    JpegTransformBlockPairSse41,
    JpegCodeBlockSsse3,
    JpegCodeMcuSsse3,
};

// The 128-bit kernels again in the three-operand VEX encoding, which saves the register copies.
const JpegStageRoutines AvxStages = {
    "avx",
    JpegLevelAvx,
    JpegConvertRowAvx,
    JpegReduceRowH2V1Avx,
    JpegReduceRowH2V2Avx,
    JpegTransformBlockAvx,
    JpegTransformBlockPairAvx,
    JpegCodeBlockAvx,
    JpegCodeMcuAvx,
};

// 256-bit vectors: two blocks per transform (a lone block goes through the AVX kernel), 32 pixels
// per conversion step; BMI2 and LZCNT in the block coder.
const JpegStageRoutines Avx2Stages = {
    "avx2",
    JpegLevelAvx2,
    JpegConvertRowAvx2,
    JpegReduceRowH2V1Avx2,
    JpegReduceRowH2V2Avx2,
    JpegTransformBlockAvx,
    JpegTransformBlockPairAvx2,
    JpegCodeBlockAvx2,
    JpegCodeMcuAvx2,
};

// Indexed by level.
const JpegStageRoutines* const StageLevels[JpegLevelCount] = {
    &JpegPortableStages, &Sse2Stages, &Ssse3Stages, &Sse41Stages, &AvxStages, &Avx2Stages,
};

const JpegStageRoutines* CurrentStages = &JpegPortableStages;
ULONG LevelCeiling = JpegLevelCount - 1;

BOOLEAN SameText(const char* a, const char* b) {
  for (; *a != '\0' && *a == *b; a++, b++) {
  }
  return *a == *b;
}

}  // namespace

const JpegStageRoutines* JpegCurrentStageRoutines(VOID) { return CurrentStages; }

// Stores only a change, so that selecting the same table again while other adapters encode
// writes nothing they read.
VOID JpegUseStageRoutines(const JpegStageRoutines* routines) {
  if (routines != NULL && CurrentStages != routines) CurrentStages = routines;
}

const JpegStageRoutines* JpegStageRoutinesAt(ULONG level) {
  return level < JpegLevelCount ? StageLevels[level] : NULL;
}

BOOLEAN JpegStageLevelNamed(const char* name, ULONG* level) {
  for (ULONG i = 0; i < JpegLevelCount; i++) {
    if (name != NULL && SameText(name, StageLevels[i]->Name)) {
      *level = i;
      return TRUE;
    }
  }
  return FALSE;
}

VOID JpegLimitStageLevel(ULONG level) {
  LevelCeiling = level < JpegLevelCount ? level : JpegLevelCount - 1;
}

VOID JpegSelectStageRoutines(VOID) {
  ULONG level = JpegProcessorStageLevel();
  if (level > LevelCeiling) level = LevelCeiling;
  JpegUseStageRoutines(StageLevels[level]);
}
