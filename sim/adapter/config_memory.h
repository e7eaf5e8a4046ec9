// The bridge's serial configuration memory, organised in 32-bit words, behind three registers of
// the bridge's configuration space: control (0x260), data (0x264) and third address byte (0x26C).
//
// Control register, as the bridge presents it:
//   bits 0-12   word address bits 0-12 (as last written)
//   bits 13-15  command (as last written): 3 read word, 2 write word, 5 read status, 6 write enable
//   bit 18      command in progress (read-only)
//   bit 19      stale-command flag (read-only; writing it as 1 clears it and starts no command)
//   bit 20      word address bit 13 (as last written)
//   bits 22-23  address width code of the memory (read-only)
//   bit 24      memory busy: bit 0 of the status the last read-status command returned (read-only)
//   bits 16-17, 21, 25-27, 31  serial clock and select settings, kept as written
// Writing the register starts the command it names. The memory itself behaves as serial memories
// do: a word write needs the write-enable latch (set by command 6, cleared by the write), and for
// a while after it the memory is busy; commands other than read status given while it is busy,
// or while the bridge still executes the previous command, are ignored.
//
// The model holds the first 64 KiB (16 384 words). With three address bytes the low byte of
// register 0x26C selects the 64 KiB page; pages other than 0 read as erased memory (all ones).
#pragma once

#include <map>

#include "sim/adapter/adapter_options.h"

namespace kxsim {

struct ConfigMemoryCounters {
  ULONG wordReads = 0;
  ULONG wordWrites = 0;
  ULONG statusReads = 0;
  ULONG writeEnables = 0;
  ULONG writesWithoutEnable = 0;      // ignored: the latch was not set
  ULONG commandsWhileBusy = 0;        // ignored: the memory was in its write cycle
  ULONG commandsWhileInProgress = 0;  // ignored: the bridge had not finished the last command
};

class ConfigMemory {
 public:
  static constexpr USHORT kControl = 0x260;
  static constexpr USHORT kData = 0x264;
  static constexpr USHORT kThirdAddressByte = 0x26C;
  static bool Owns(ULONG reg) {
    return reg == kControl || reg == kData || reg == kThirdAddressByte;
  }

  explicit ConfigMemory(const VirtualAdapterOptions& options);

  ULONG Read(ULONG reg);
  void Write(ULONG reg, ULONG value);
  // What a read would answer, without the read's effect on the in-progress bit.
  ULONG Peek(ULONG reg) const;
  // The bridge's registers return to power-on; the memory keeps its contents.
  void PowerOn();

  // Test access to page 0, without the registers.
  ULONG Word(ULONG index) const;
  void SetWord(ULONG index, ULONG value);
  // The next `statusReads` read-status commands report the memory busy.
  void HoldBusy(ULONG statusReads);
  // The next `controlReads` control-register reads show the last command in progress.
  void HoldInProgress(ULONG controlReads);
  // The next command `command` (3 read word, 2 write word, 5 read status, 6 write enable) is
  // taken but never carried out: the bridge shows it in progress for `controlReads` reads, then
  // drops it, as a bridge whose serial interface hangs would.
  void StickCommand(ULONG command, ULONG controlReads);
  // The same for the next read of word `index` only.
  void StickWordRead(ULONG index, ULONG controlReads);
  ConfigMemoryCounters Counters() const { return counters_; }

 private:
  ULONG ControlValue() const;
  void WriteControl(ULONG value);
  void Execute(ULONG command, ULONG address);
  ULONG Page() const;

  const ConfigMemoryOptions options_;
  std::map<ULONG, ULONG> words_;  // key: page << 14 | word; absent words are erased
  ULONG latched_ = 0;             // address, command and settings fields as last written
  ULONG data_ = 0;
  ULONG thirdAddressByte_ = 0;
  bool stale_ = false;
  bool statusBusy_ = false;
  bool writeEnabled_ = false;
  ULONG busyReads_ = 0;        // status reads the memory still reports busy
  ULONG inProgressReads_ = 0;  // control reads that still show the command in progress
  static constexpr ULONG kAnyWord = 0xFFFFFFFF;
  ULONG stuckCommand_ = 0;     // 0: none (0 is no command the driver gives)
  ULONG stuckReads_ = 0;
  ULONG stuckWord_ = kAnyWord;  // the word address the stuck command must name
  ConfigMemoryCounters counters_;
};

}  // namespace kxsim
