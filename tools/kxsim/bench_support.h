// What the benchmark commands share: argument parsing of numbers, the corpus, the processor's
// name, and medians.
#pragma once

#include <string>
#include <vector>

namespace kxsim {

// FALSE unless `text` is a whole number from `low` to `high`.
bool ParseInt(const char* text, int low, int high, int* value);
// The PNG files of corpus/ (in the working folder, else beside the sources), sorted.
std::vector<std::string> CorpusImages();
std::string CpuModel();
double Median(std::vector<double> values);

}  // namespace kxsim
