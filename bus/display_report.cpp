// The display report (from the far side or a control code) and the display description a child
// keeps, little-endian, read and written byte by byte. An input is trusted for no more bytes than
// it has: a report whose mode count asks for more is refused before anything is created.
#include "driver/kxbus.h"

namespace {

ULONG GetU32(const UCHAR* at) {
  return (ULONG)at[0] | (ULONG)at[1] << 8 | (ULONG)at[2] << 16 | (ULONG)at[3] << 24;
}

void PutU32(UCHAR* at, ULONG value) {
  for (int i = 0; i < 4; i++) at[i] = (UCHAR)(value >> (8 * i));
}

constexpr ULONGLONG kDescriptionTail = 512;

}  // namespace

NTSTATUS ParseDisplayReport(const UCHAR* report, ULONG length, DisplayReport* parsed) {
  if (report == NULL || length < kReportHeaderSize) return STATUS_INVALID_PARAMETER;
  ULONG count = GetU32(report + 4);
  ULONGLONG needed = kReportHeaderSize + 8ull * count + kDisplayDataSize;
  ULONGLONG described = kDescriptionHeaderSize + 8ull * count + kDescriptionTail;
  if (length < needed || described > 0xFFFFFFFFull) return STATUS_INVALID_PARAMETER;
  parsed->DisplayId = (LONG)GetU32(report);
  parsed->ModeCount = count;
  parsed->ReportWord = (USHORT)(report[8] | report[9] << 8);
  parsed->Modes = report + kReportHeaderSize;
  parsed->DisplayData = report + kReportHeaderSize + 8 * count;
  return STATUS_SUCCESS;
}

NTSTATUS CheckDisplayDescription(const UCHAR* description, ULONG length, ULONG* size) {
  if (description == NULL || length < kDescriptionHeaderSize) return STATUS_INVALID_PARAMETER;
  ULONGLONG needed = kDescriptionHeaderSize + 8ull * GetU32(description + 528);
  if (length < needed) return STATUS_INVALID_PARAMETER;
  *size = (ULONG)needed;
  return STATUS_SUCCESS;
}

ULONG DescriptionSizeOf(const DisplayReport* report) {
  return kDescriptionHeaderSize + 8 * report->ModeCount + (ULONG)kDescriptionTail;
}

void BuildDescription(const DisplayReport* report, UCHAR* description, ULONG size) {
  RtlZeroMemory(description, size);
  PutU32(description, (ULONG)report->DisplayId);
  RtlCopyMemory(description + 4, report->DisplayData, kDisplayDataSize);
  description[516] = (UCHAR)report->ReportWord;
  description[517] = (UCHAR)(report->ReportWord >> 8);
  PutU32(description + 528, report->ModeCount);
  RtlCopyMemory(description + kDescriptionHeaderSize, report->Modes, 8 * report->ModeCount);
}
