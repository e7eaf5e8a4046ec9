// Configuration words through the control codes: the half-second each access keeps its thread,
// the cache of words 200 and 201, and ConfigMutex released on every path.
#include "adapter_codes_fixture.h"
#include "host/hostk/clock.h"

namespace kxtest {
namespace {

constexpr LONGLONG kHalfSecond = 500 * kMillisecond;

class ConfigWords : public AdapterCodes {
 protected:
  struct Timed {
    Reply reply;
    LONGLONG elapsed;
    size_t operations;  // register accesses the request made
  };
  Timed Read(ULONG index) { return Timed_(IOCTL_BUS_READ_CONFIG_WORD, U32(index), 4); }
  Timed Write(ULONG first, ULONG value) {
    return Timed_(IOCTL_BUS_WRITE_CONFIG_WORD, Words({first, value}), 0);
  }
  Timed Timed_(ULONG code, const Bytes& input, ULONG out) {
    if (control_ == nullptr) control_ = Open();
    size_t mark = adapter_->Log().Size();
    LONGLONG start = hostk::ClockNow();
    Reply reply = Call(code, input, out);
    return {reply, hostk::ClockNow() - start, adapter_->Log().Size() - mark};
  }
  // Reads word 200 and 201 twice each from an empty cache, the memory changed between the two.
  void ReadTwice(ULONG model) {
    StartWith(model);
    for (ULONG word : {200u, 201u}) {
      SCOPED_TRACE(testing::Message() << "model " << model << " word " << word);
      bus_->ConfigWordCache200 = bus_->ConfigWordCache201 = 0;
      ULONG expected = adapter_->ConfigWord(word);
      Timed first = Read(word);
      EXPECT_EQ(STATUS_SUCCESS, first.reply.status);
      EXPECT_EQ(U32(expected), first.reply.out);
      EXPECT_GE(first.elapsed, kHalfSecond);
      EXPECT_GT(first.operations, 0u);
      EXPECT_EQ(expected, word == 200 ? bus_->ConfigWordCache200 : bus_->ConfigWordCache201);
      adapter_->SetConfigWord(word, 0x13572468);  // only a read of the memory sees this
      Timed second = Read(word);
      EXPECT_EQ(STATUS_SUCCESS, second.reply.status);
      if (model == 0) {
        EXPECT_EQ(U32(expected), second.reply.out);
        EXPECT_EQ(0u, second.operations);
        EXPECT_EQ(0, second.elapsed);
      } else {
        EXPECT_EQ(U32(0x13572468), second.reply.out);
        EXPECT_GT(second.operations, 0u);
        EXPECT_GE(second.elapsed, kHalfSecond);
      }
    }
  }
};

TEST_F(ConfigWords, Words200And201AreCachedWithDriverModel0) { ReadTwice(0); }
TEST_F(ConfigWords, Words200And201AreReadEachTimeWithDriverModel8) { ReadTwice(8); }

TEST_F(ConfigWords, AllOnesIsNeverServedFromTheCache) {
  StartWith(0);
  bus_->ConfigWordCache200 = 0xFFFFFFFF;
  Timed read = Read(200);
  EXPECT_EQ(U32(adapter_->ConfigWord(200)), read.reply.out);
  EXPECT_GT(read.operations, 0u);
  EXPECT_EQ(adapter_->ConfigWord(200), bus_->ConfigWordCache200);
}

TEST_F(ConfigWords, OtherWordsAlwaysGoToTheMemory) {
  StartWith(0);
  adapter_->SetConfigWord(5, 0x0BADCAFE);
  for (int round = 0; round < 2; round++) {
    Timed read = Read(5);
    EXPECT_EQ(U32(0x0BADCAFE), read.reply.out);
    EXPECT_GE(read.elapsed, kHalfSecond);
  }
}

TEST_F(ConfigWords, AWriteTakesTheLowHalfOfTheFirstWordAsItsIndex) {
  StartWith(8);
  Timed write = Write(0xABCD0007, 0x600DF00D);
  EXPECT_EQ(STATUS_SUCCESS, write.reply.status);
  EXPECT_EQ(0u, write.reply.information);
  EXPECT_GE(write.elapsed, kHalfSecond);
  EXPECT_EQ(0x600DF00Du, adapter_->ConfigWord(7));
  EXPECT_EQ(U32(0x600DF00D), Read(7).reply.out);
}

TEST_F(ConfigWords, PermittedByDriverModelAndTheExtendedChip) {
  struct Gate {
    ULONG driverModel;
    bool extended;
    NTSTATUS read;
    NTSTATUS write;
  };
  const Gate kGates[] = {
      {0, true, STATUS_SUCCESS, STATUS_UNSUCCESSFUL},
      {8, true, STATUS_SUCCESS, STATUS_SUCCESS},
      {3, true, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL},
      {0, false, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL},
      {8, false, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL},
  };
  StartWith(0);
  for (const Gate& g : kGates) {
    SCOPED_TRACE(testing::Message() << g.driverModel << (g.extended ? " extended" : " basic"));
    bus_->DriverModel = g.driverModel;
    bus_->ExtendedChip = g.extended ? 1 : 0;
    Timed read = Read(3);
    Timed write = Write(9, 0x11223344);
    EXPECT_EQ(g.read, read.reply.status);
    EXPECT_EQ(g.write, write.reply.status);
    if (g.read != STATUS_SUCCESS) {
      EXPECT_EQ(0u, read.operations + read.reply.information);
    }
    if (g.write != STATUS_SUCCESS) {
      EXPECT_EQ(0u, write.operations);
    }
  }
}

// A read the memory does not answer fails after its half second, and leaves the mutex free.
TEST_F(ConfigWords, AFailedReadStillWaitsAndReleasesTheMutex) {
  StartWith(8);
  adapter_->HoldConfigBusy(1000000);
  Timed failed = Read(200);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, failed.reply.status);
  EXPECT_EQ(0u, failed.reply.information);
  EXPECT_GE(failed.elapsed, kHalfSecond);
  EXPECT_NE(0u, bus_->ConfigWordCache200) << "a failure does not clear the cache";
  adapter_->HoldConfigBusy(0);
  EXPECT_EQ(STATUS_SUCCESS, Read(200).reply.status);
}

// Someone else holding the configuration memory for three seconds: the request gives up after
// two, without touching the memory.
TEST_F(ConfigWords, AMutexHeldTooLongIsARefusal) {
  StartWith(0);
  KEVENT held;
  KeInitializeEvent(&held, NotificationEvent, FALSE);
  SystemThread holder([&] {
    KeWaitForSingleObject(&bus_->ConfigMutex, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&held, IO_NO_INCREMENT, FALSE);
    Sleep(3 * kSecond);
    KeReleaseMutex(&bus_->ConfigMutex, FALSE);
  });
  KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
  Timed read = Read(5);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, read.reply.status);
  EXPECT_EQ(0u, read.operations);
  EXPECT_GE(read.elapsed, 2 * kSecond);
  EXPECT_LT(read.elapsed, 3 * kSecond);
  Timed write = Write(5, 1);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, write.reply.status) << "DriverModel 0 never writes";
  holder.Join();
}

// Two requests at once: the second starts its access only after the first's half second.
TEST_F(ConfigWords, RequestsRunOneAfterAnother) {
  StartWith(0);
  LONGLONG start = hostk::ClockNow();
  {
    hostk::Client other;
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, other.OpenDevice(fdo_, &handle));
    SystemThread second([&] {
      Bytes input = U32(6);
      uint8_t out[4];
      EXPECT_EQ(STATUS_SUCCESS, other.DeviceControl(handle, IOCTL_BUS_READ_CONFIG_WORD,
                                                    input.data(), 4, out, 4));
    });
    EXPECT_EQ(STATUS_SUCCESS, Read(5).reply.status);
  }
  EXPECT_GE(hostk::ClockNow() - start, 2 * kHalfSecond);
}

}  // namespace
}  // namespace kxtest
