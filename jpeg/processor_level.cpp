// Which stage levels the processor can run, from CPUID and the operating system's state support.
//
// Rules:
// - Levels are cumulative: a level needs every feature of the levels below it.
// - SSE2: CPUID.1 EDX bit 26. SSSE3: CPUID.1 ECX bit 9. SSE4.1/4.2: ECX bits 19 and 20.
// - AVX needs the processor's AVX (ECX bit 28) and the operating system's support for the AVX
//   state: OSXSAVE (ECX bit 27) and XCR0 enabling both the XMM and the YMM state (bits 1 and 2).
//   A processor with AVX under a system that does not save the YMM registers stays at SSE4.
// - AVX2: CPUID.7.0 EBX bit 5, on top of AVX; its kernels also use BMI1 and BMI2 (CPUID.7.0 EBX
//   bits 3 and 8) and LZCNT (CPUID.80000001 ECX bit 5), which every AVX2 processor has.
// - A processor without SSE2 gets the portable level, which computes the same bytes.
#include "jpeg/stages.h"

// After the platform headers: the Windows kernel headers declare a __cpuid routine that
// <cpuid.h> would otherwise turn into its macro of the same name.
#include <cpuid.h>
#include <immintrin.h>

namespace {

constexpr ULONG Edx1Sse2 = 1u << 26;
constexpr ULONG Ecx1Ssse3 = 1u << 9;
constexpr ULONG Ecx1Sse41 = 1u << 19;
constexpr ULONG Ecx1Sse42 = 1u << 20;
constexpr ULONG Ecx1OsXsave = 1u << 27;
constexpr ULONG Ecx1Avx = 1u << 28;
constexpr ULONG Ebx7Bmi1 = 1u << 3;
constexpr ULONG Ebx7Avx2 = 1u << 5;
constexpr ULONG Ebx7Bmi2 = 1u << 8;
constexpr ULONG Ecx80000001Lzcnt = 1u << 5;
constexpr ULONG Xcr0XmmYmm = (1u << 1) | (1u << 2);

// XCR0, readable only once OSXSAVE says the system has enabled XGETBV.
__attribute__((target("xsave"))) ULONG ReadXcr0(VOID) { return (ULONG)_xgetbv(0); }

JpegProcessorFeatures ReadFeatures(VOID) {
  JpegProcessorFeatures features = {};
  unsigned int eax, ebx, ecx, edx;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
    features.HasLeaf1 = TRUE;
    features.Leaf1Ecx = ecx;
    features.Leaf1Edx = edx;
    if (ecx & Ecx1OsXsave) features.Xcr0 = ReadXcr0();
  }
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
    features.HasLeaf7 = TRUE;
    features.Leaf7Ebx = ebx;
  }
  if (__get_cpuid(0x80000001, &eax, &ebx, &ecx, &edx)) {
    features.HasLeaf80000001 = TRUE;
    features.Leaf80000001Ecx = ecx;
  }
  return features;
}

}  // namespace

ULONG JpegLevelForFeatures(const JpegProcessorFeatures* features) {
  ULONG ecx = features->Leaf1Ecx;
  if (!features->HasLeaf1 || (features->Leaf1Edx & Edx1Sse2) == 0) return JpegLevelPortable;
  if ((ecx & Ecx1Ssse3) == 0) return JpegLevelSse2;
  if ((ecx & (Ecx1Sse41 | Ecx1Sse42)) != (Ecx1Sse41 | Ecx1Sse42)) return JpegLevelSsse3;
  if ((ecx & (Ecx1Avx | Ecx1OsXsave)) != (Ecx1Avx | Ecx1OsXsave) ||
      (features->Xcr0 & Xcr0XmmYmm) != Xcr0XmmYmm) {
    return JpegLevelSse41;
  }
  constexpr ULONG Avx2Set = Ebx7Bmi1 | Ebx7Avx2 | Ebx7Bmi2;
  if (!features->HasLeaf7 || (features->Leaf7Ebx & Avx2Set) != Avx2Set ||
      !features->HasLeaf80000001 || (features->Leaf80000001Ecx & Ecx80000001Lzcnt) == 0) {
    return JpegLevelAvx;
  }
  return JpegLevelAvx2;
}

BOOLEAN JpegProcessorRunsLevel(ULONG level) { return level <= JpegProcessorStageLevel(); }

ULONG JpegProcessorStageLevel(VOID) {
  JpegProcessorFeatures features = ReadFeatures();
  return JpegLevelForFeatures(&features);
}
