// Instructions by layer, from a callgrind profile: each instruction counted once, to the source
// file it was compiled from (code inlined from another file of the tree to that file; code from
// outside it, such as the compiler's intrinsics, to the function it is in), and each file to the
// layer of the system it belongs to.
#pragma once

#include <cstdint>
#include <string>

namespace kxsim {

enum class Layer {
  Driver,     // the driver's directories, and the platform headers' inline routines it compiles in
  Encoder,    // jpeg/
  HostKernel, // the host kernel's own code: platform/host/src, platform/host/hostk
  Simulated,  // sim/: the USB stack, the adapter, the far side, the display drivers
  Harness,    // tools/: the bench that drives the run
  Libraries,  // the C and C++ libraries where no code of the tree called them (a routine of theirs
              // called from the tree counts to the caller's layer, as the platform's would)
  Count
};

const char* LayerName(Layer layer);

// The layer of a source file, by its path relative to the source tree at `sourceDir` (absolute
// paths outside it are libraries).
Layer LayerOfFile(const std::string& path, const std::string& sourceDir);

struct LayerCounts {
  uint64_t instructions[size_t(Layer::Count)] = {};
  uint64_t Total() const;
  uint64_t Of(Layer layer) const { return instructions[size_t(layer)]; }
};

// Reads a callgrind output file (event Ir, any thread, positions as line numbers or instruction
// addresses) into `counts`; false with a message when it has no Ir event or cannot be read.
bool ReadCallgrindLayers(const std::string& path, const std::string& sourceDir,
                         LayerCounts* counts, std::string* error);
// The same from the file's text.
bool ParseCallgrindLayers(const std::string& text, const std::string& sourceDir,
                          LayerCounts* counts, std::string* error);

}  // namespace kxsim
