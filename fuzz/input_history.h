// The inputs a campaign ran last, kept so that a fault which needs the state earlier inputs left
// (a frame store, a channel's mode, memory an earlier input gave back) can be played again: the
// crash file alone holds only the input that was running. With KX_FUZZ_HISTORY naming a folder,
// a bug check, a sanitizer report or an unclean adapter writes the last inputs there as
// history-00 (oldest) to history-NN (the failing one); played in that order by one process
// (`fuzz_requests DIR/history-*`), they run as they ran in the campaign.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kxfuzz {

// Hooks the writer to the host kernel's bug checks and the address sanitizer's reports; without
// the variable it does nothing.
void InstallInputHistory();
// Called with each input before it runs.
void RememberInput(const uint8_t* bytes, size_t size);
// Writes the inputs out (once); called on the failing thread.
void WriteInputHistory();

}  // namespace kxfuzz
