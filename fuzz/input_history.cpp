#include "input_history.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "host/hostk/bugcheck.h"

#include <sanitizer/common_interface_defs.h>

namespace kxfuzz {
namespace {

constexpr size_t kKept = 32;

struct History {
  std::vector<uint8_t> inputs[kKept];
  size_t next = 0;    // slot of the next input
  size_t count = 0;   // inputs held, at most kKept
  const char* folder = nullptr;
  std::atomic<bool> written{false};
};

History& H() {
  static History* history = new History;  // written from a dying process: never destroyed
  return *history;
}

void WriteFile(const char* path, const std::vector<uint8_t>& bytes) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote <= 0) break;
    done += (size_t)wrote;
  }
  close(fd);
}


}  // namespace

void InstallInputHistory() {
  H().folder = std::getenv("KX_FUZZ_HISTORY");
  if (H().folder == nullptr || H().folder[0] == '\0') return;
  hostk::SetBugCheckObserver(WriteInputHistory);
  // Whichever sanitizer the build has (address, thread) calls this as it ends the process.
  __sanitizer_set_death_callback(WriteInputHistory);
}

void RememberInput(const uint8_t* bytes, size_t size) {
  History& h = H();
  if (h.folder == nullptr) return;
  h.inputs[h.next].assign(bytes, bytes + size);
  h.next = (h.next + 1) % kKept;
  if (h.count < kKept) h.count++;
}

void WriteInputHistory() {
  History& h = H();
  if (h.folder == nullptr || h.written.exchange(true)) return;
  size_t first = (h.next + kKept - h.count) % kKept;
  for (size_t i = 0; i < h.count; i++) {
    char path[4096];
    std::snprintf(path, sizeof path, "%s/history-%02zu", h.folder, i);
    WriteFile(path, h.inputs[(first + i) % kKept]);
  }
  for (size_t i = h.count; i < kKept; i++) {  // an earlier failure's longer history
    char path[4096];
    std::snprintf(path, sizeof path, "%s/history-%02zu", h.folder, i);
    unlink(path);
  }
  std::fprintf(stderr, "*** fuzz: the last %zu inputs are in %s/history-*\n", h.count, h.folder);
}

}  // namespace kxfuzz
