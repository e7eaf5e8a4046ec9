// kxsim reliability: the reliability campaign and its table of figures.
#pragma once

namespace kxsim {

int RunReliability(int argc, char** argv);

}  // namespace kxsim
