// kxsim present: one image through the whole driver to the far-side display of a virtual adapter.
#pragma once

namespace kxsim {

int RunPresent(int argc, char** argv);

}  // namespace kxsim
