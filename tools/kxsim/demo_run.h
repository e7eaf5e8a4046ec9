// One demo run: the desk set up, the scenes shown in turn on every display at 60 frames a second
// of virtual time, the frame worker let drain after each scene and every far side compared with
// what was presented, then the results gathered and the adapter removed.
//
// The calling thread must be attached to the host kernel; the run uses exact timers on it (and
// gives the ticks back after), as the compositor's frame clock is the display hardware's, not the
// kernel's tick.
#pragma once

#include "demo_options.h"
#include "demo_result.h"
#include "sim/display/scene.h"

namespace kxsim {

// Fills `result`; false when the desk could not be set up (its failures say why). A run that
// went through but found faults returns true with them in `result`.
bool RunDemo(const DemoOptions& options, const ScenePictures& pictures, bool progress,
             DemoResult* result);

// The frames each scene gets of `totalFrames`: equal shares in order, the remainder to the first,
// at least one each.
std::vector<int> ShareFrames(int totalFrames, size_t scenes);

}  // namespace kxsim
