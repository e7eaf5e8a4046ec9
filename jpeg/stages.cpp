// The stage table in use and its selection.
//
// The table is chosen once at adapter start, before any frame is encoded, and every encoder takes
// a copy of the pointer when it is created. Until a selection is made (and on processors for
// which this build holds nothing better) the portable stages are used.
#include "jpeg/jpeg.h"
#include "jpeg/stages.h"

const JpegStageRoutines JpegPortableStages = {
    "portable",
    JpegConvertRowPortable,
    JpegReduceRowH2V1Portable,
    JpegReduceRowH2V2Portable,
    JpegTransformBlockPortable,
    JpegCodeBlockPortable,
};

namespace {

// Lowest level first; the selection takes the highest one the processor allows.
const JpegStageRoutines* const StageLevels[] = {
    &JpegPortableStages,
};

const JpegStageRoutines* CurrentStages = &JpegPortableStages;

}  // namespace

const JpegStageRoutines* JpegCurrentStageRoutines(VOID) { return CurrentStages; }

// Stores only a change, so that selecting the same table again while other adapters encode
// writes nothing they read.
VOID JpegUseStageRoutines(const JpegStageRoutines* routines) {
  if (routines != NULL && CurrentStages != routines) CurrentStages = routines;
}

const JpegStageRoutines* JpegStageRoutinesAt(ULONG index) {
  return index < sizeof(StageLevels) / sizeof(StageLevels[0]) ? StageLevels[index] : NULL;
}

VOID JpegSelectStageRoutines(VOID) { JpegUseStageRoutines(&JpegPortableStages); }
