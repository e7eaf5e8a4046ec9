#pragma once

namespace kxsim {

// kxsim demo [OPTIONS]: the whole driver at work on a virtual desk (see PrintDemoUsage). 0 when
// every far side showed what was presented, with no violation, leak or failure; 1 otherwise; 2
// for bad arguments.
int RunDemoCommand(int argc, char** argv);

}  // namespace kxsim
