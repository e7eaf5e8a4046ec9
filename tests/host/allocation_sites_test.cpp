// Allocation call sites: what the driver's calls name is recorded once per place, only the call
// the driver made counts (not what the routine allocates inside), and a site fails exactly once.
#include <gtest/gtest.h>

#include "host/hostk.h"

namespace {

constexpr ULONG kTag = hostk::PoolTag("AsTs");

class AllocationSites : public testing::Test {
 protected:
  void TearDown() override { hostk::AllocationSitesReset(); }
};

PVOID AllocateAt(int line) {
  hostk::NoteAllocationSite("driver/place.cpp", line, "ExAllocatePoolWithTag");
  return ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
}

TEST_F(AllocationSites, ThePlacesOfTheDriversCallsAreRecordedOnce) {
  hostk::AllocationSitesRecord(true);
  for (int i = 0; i < 3; i++) ExFreePoolWithTag(AllocateAt(10), kTag);
  ExFreePoolWithTag(AllocateAt(20), kTag);
  // A call nobody named is the host's own, and a threaded request's inner allocations belong to
  // the one call the driver made.
  ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag), kTag);
  hostk::NoteAllocationSite("driver/place.cpp", 30, "IoAllocateIrp");
  IoFreeIrp(IoAllocateIrp(2, FALSE));

  std::vector<hostk::AllocationSite> sites = hostk::AllocationSitesSeen();
  ASSERT_EQ(3u, sites.size());
  EXPECT_EQ("driver/place.cpp:10", sites[0].where);
  EXPECT_EQ(3u, sites[0].calls);
  EXPECT_EQ("driver/place.cpp:20", sites[1].where);
  EXPECT_EQ("IoAllocateIrp", sites[2].routine);
  EXPECT_EQ(1u, sites[2].calls);
  EXPECT_EQ(5u, hostk::AllocationCallCount());
}

TEST_F(AllocationSites, AnArmedSiteFailsItsNthCallOnlyAndACallHookRunsOnce) {
  hostk::AllocationSiteFail("driver/place.cpp:10", 2);
  PVOID first = AllocateAt(10);
  EXPECT_NE(nullptr, first);
  PVOID other = AllocateAt(20);  // another site is untouched
  EXPECT_NE(nullptr, other);
  ExFreePoolWithTag(other, kTag);
  EXPECT_EQ(nullptr, AllocateAt(10));
  PVOID third = AllocateAt(10);
  EXPECT_NE(nullptr, third);
  EXPECT_EQ(1u, hostk::AllocationSiteFailures());
  ExFreePoolWithTag(first, kTag);
  ExFreePoolWithTag(third, kTag);

  int hooked = 0;
  hostk::AllocationCallHook(2, [](void* count) { ++*static_cast<int*>(count); }, &hooked);
  for (int i = 0; i < 4; i++) ExFreePoolWithTag(AllocateAt(40), kTag);
  EXPECT_EQ(1, hooked);
}

}  // namespace
