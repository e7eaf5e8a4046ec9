// kxsim encode: the driver's encoder alone on one PNG image.
#pragma once

namespace kxsim {

// Arguments after "encode"; returns the process exit code.
int RunEncode(int argc, char** argv);

}  // namespace kxsim
