// The platform double itself: the library's tests lean on these behaviours.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/com.h"
#include "platform/testing/fake_platform.h"
#include "velmo/platform/heap.h"
#include "velmo/platform/mmio.h"

namespace velmo::testing {
namespace {

IDirectSoundBuffer* MakeBuffer(FakePlatform& fake, DWORD bytes, WAVEFORMATEX& format) {
  IDirectSound* device = nullptr;
  EXPECT_EQ(fake.CoInitialize(nullptr), S_OK);
  EXPECT_EQ(fake.CoCreateInstance(CLSID_DirectSound, nullptr, 1, IID_IDirectSound, reinterpret_cast<void**>(&device)),
            S_OK);
  EXPECT_EQ(device->Initialize(nullptr), DS_OK);
  format = {WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
  DSBUFFERDESC desc{sizeof(DSBUFFERDESC), DSBCAPS_CTRLVOLUME, bytes, 0, &format};
  IDirectSoundBuffer* buffer = nullptr;
  EXPECT_EQ(device->CreateSoundBuffer(&desc, &buffer, nullptr), DS_OK);
  return buffer;
}

TEST(FakePlatform, FailuresCanSkipCallsLimitCountsAndTargetOneObject) {
  FakePlatform fake;
  fake.Fail("GlobalAlloc", 0, 1, 2);
  void* a = fake.GlobalAlloc(GMEM_FIXED, 4);
  void* b = fake.GlobalAlloc(GMEM_FIXED, 4);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(fake.GlobalAlloc(GMEM_FIXED, 4), nullptr);
  void* c = fake.GlobalAlloc(GMEM_FIXED, 4);
  EXPECT_NE(c, nullptr);
  EXPECT_EQ(fake.LiveBlocks(), 3u);
  for (void* p : {a, b, c}) EXPECT_EQ(fake.GlobalFree(p), nullptr);
  EXPECT_EQ(fake.GlobalFree(a), a) << "a second free is refused";
  EXPECT_EQ(fake.LiveBlocks(), 0u);

  WAVEFORMATEX format;
  IDirectSoundBuffer* buffer = MakeBuffer(fake, 16, format);
  fake.Fail("buffer1.Stop", DSERR_GENERIC);
  EXPECT_EQ(buffer->Stop(), DSERR_GENERIC);
  EXPECT_EQ(buffer->Play(0, 0, 0), DS_OK);
  EXPECT_EQ(fake.CallNamesContaining("buffer1.").back(), "buffer1.Play");
}

TEST(FakePlatform, BufferLocksWrapIntoTwoRegionsAndTheCursorMovesOnlyWhenAdvanced) {
  FakePlatform fake;
  WAVEFORMATEX format;
  IDirectSoundBuffer* buffer = MakeBuffer(fake, 10, format);
  FakeSoundBuffer* fakeBuffer = fake.LastBuffer();

  void *p1, *p2;
  DWORD n1, n2;
  ASSERT_EQ(buffer->Lock(7, 6, &p1, &n1, &p2, &n2, 0), DS_OK);
  EXPECT_EQ(n1, 3u);
  EXPECT_EQ(n2, 3u);
  EXPECT_EQ(p2, fakeBuffer->Data().data());
  EXPECT_EQ(buffer->Unlock(p1, n1, p2, n2), DS_OK);
  EXPECT_NE(buffer->Lock(10, 1, &p1, &n1, &p2, &n2, 0), DS_OK);
  EXPECT_NE(buffer->Lock(0, 11, &p1, &n1, &p2, &n2, 0), DS_OK);

  for (int i = 0; i < 10; ++i) fakeBuffer->MutableData()[i] = static_cast<std::uint8_t>(i);
  fakeBuffer->RecordConsumption(true);
  fakeBuffer->Advance(4);
  EXPECT_EQ(fakeBuffer->Position(), 0u) << "a stopped buffer does not move";
  buffer->Play(0, 0, DSBPLAY_LOOPING);
  fakeBuffer->Advance(13);
  EXPECT_EQ(fakeBuffer->Position(), 3u);
  EXPECT_EQ(fakeBuffer->Consumed(), (std::vector<std::uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1, 2}));

  buffer->Play(0, 0, 0);
  fakeBuffer->Advance(100);
  DWORD status = 99;
  buffer->GetStatus(&status);
  EXPECT_EQ(status, 0u) << "a one-shot buffer stops at its end";

  fakeBuffer->Lose();
  buffer->GetStatus(&status);
  EXPECT_EQ(status, DSBSTATUS_BUFFERLOST);
  EXPECT_EQ(buffer->Play(0, 0, 0), DSERR_BUFFERLOST);
  EXPECT_EQ(buffer->Restore(), DS_OK);
  EXPECT_EQ(buffer->Play(0, 0, 0), DS_OK);

  EXPECT_EQ(buffer->Release(), 0u);
  EXPECT_NE(buffer->Stop(), DS_OK);
  EXPECT_EQ(fake.UseAfterRelease(), 1);
}

TEST(FakePlatform, OpensAFileWhoseNameDiffersInCaseAsTheRealPlatformDoes) {
  std::string folder = (std::filesystem::temp_directory_path() / "velmo-fake-XXXXXX").string();
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  const std::string lower = folder + "/bgm1.wav";
  std::FILE* f = std::fopen(lower.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("RIFF", f);
  std::fclose(f);
  const std::string asked = folder + "/BGM1.WAV";

  FakePlatform fake;
  const int fd = fake.OpenFileForReading(asked.c_str());
  EXPECT_GE(fd, 0);
  EXPECT_EQ(fake.OpenFiles(), 1);
  fake.CloseFile(fd);
  EXPECT_EQ(fake.OpenedFileNames().back(), asked) << "the name asked for is the one recorded";
  {
    // The library's file layer finds it through the double.
    ScopedPlatform installed(fake);
    HMMIO file = mmioOpenA(asked.c_str(), nullptr, MMIO_ALLOCBUF);
    ASSERT_NE(file, nullptr);
    char head[4] = {};
    EXPECT_EQ(mmioRead(file, head, 4), 4);
    EXPECT_EQ(std::string(head, 4), "RIFF");
    EXPECT_EQ(mmioClose(file, 0), MMSYSERR_NOERROR);
  }
  fake.Fail("OpenFile", -1, 1);
  EXPECT_EQ(fake.OpenFileForReading(asked.c_str()), -1) << "an injected failure still wins";
  EXPECT_EQ(fake.OpenFileForReading((folder + "/bgm2.wav").c_str()), -1);
  EXPECT_EQ(fake.OpenFiles(), 0);
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace velmo::testing
