// The processor time the encoder takes wherever it runs, the driver's frame worker and encode
// threads included: the link routes every call of the encoder's two coding entries through a
// timer, so that a benchmark can tell the encoder's part of the driver's threads from the rest.
// Off until switched on, when a call costs one load more.
#pragma once

namespace kxsim {

// Starts or stops the timing of encoder calls (calls under way count as they began).
void TimeEncoderCalls(bool on);
// Seconds of processor time the timed encoder calls took, on every thread, so far.
double TimedEncoderSeconds();

}  // namespace kxsim
