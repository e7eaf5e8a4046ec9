// kxsim bench-encode: the driver's encoder against libjpeg-turbo on the same images and settings.
#pragma once

namespace kxsim {

// Arguments after "bench-encode"; returns the process exit code.
int RunBenchEncode(int argc, char** argv);

}  // namespace kxsim
