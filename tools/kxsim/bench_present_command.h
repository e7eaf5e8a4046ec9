// kxsim bench-present: present-to-wire throughput of the driver's frame pipeline against its
// encoder alone on the same rectangles.
#pragma once

namespace kxsim {

int RunBenchPresent(int argc, char** argv);

}  // namespace kxsim
