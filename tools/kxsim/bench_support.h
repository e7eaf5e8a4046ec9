// What the benchmark commands share: argument parsing of numbers, the corpus, the processor's
// name, medians and means, and processor time.
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
// Of positive values; 0 for none.
double GeometricMean(const std::vector<double>& values);
// Seconds of processor time used so far by the whole process, and by the calling thread.
double ProcessProcessorSeconds();
double ThreadProcessorSeconds();

}  // namespace kxsim
