// The WAVE reader: which files it accepts, the format block it builds, the
// read cursor, and that every failure leaves nothing open or allocated.
#include "velmo/sound/wave_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/wave/counting_platform.h"
#include "tests/wave/wave_test_files.h"
#include "velmo/platform/heap.h"
#include "velmo/platform/platform.h"

namespace velmo {
namespace {

using testing::Append;
using testing::Bytes;
using testing::Chunk;
using testing::CountingPlatform;
using testing::FormatFields;
using testing::Pattern;
using testing::PcmFmt;
using testing::PcmWave;
using testing::PutWord;
using testing::Riff;
using testing::TempDir;

class WaveReaderTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Whatever a test did, the reader's own blocks and files are all gone.
    EXPECT_EQ(platform_.LiveBlocks(), 0u);
    EXPECT_EQ(platform_.OpenFiles(), 0u);
    EXPECT_EQ(platform_.BadFrees(), 0);
  }

  struct Opened {
    DWORD result;
    HMMIO file;
    WAVEFORMATEX* format;
    MMCKINFO riff;
  };
  Opened Open(const std::string& path) {
    Opened o{0xDEAD, reinterpret_cast<HMMIO>(1), reinterpret_cast<WAVEFORMATEX*>(1), {}};
    o.result = WaveReaderOpen(path.c_str(), &o.file, &o.format, &o.riff);
    return o;
  }

  // Expects the open of `bytes` to fail with `expected`, leaving both outs null.
  void ExpectOpenFails(const Bytes& bytes, DWORD expected) {
    Opened o = Open(dir_.Write("bad.wav", bytes));
    EXPECT_EQ(o.result, expected) << WaveResultName(o.result);
    EXPECT_EQ(o.file, nullptr);
    EXPECT_EQ(o.format, nullptr);
    EXPECT_EQ(platform_.OpenFiles(), 0u);
    EXPECT_EQ(platform_.LiveBlocks(), 0u);
  }

  struct Whole {
    DWORD result;
    DWORD size;
    WAVEFORMATEX* format;
    BYTE* samples;
  };
  Whole ReadWhole(const std::string& path) {
    Whole w{0xDEAD, 77, reinterpret_cast<WAVEFORMATEX*>(1), reinterpret_cast<BYTE*>(1)};
    w.result = ReadWholeWave(path.c_str(), &w.size, &w.format, &w.samples);
    return w;
  }
  static void Free(Whole& w) {
    if (w.format != nullptr) GlobalFree(w.format);
    if (w.samples != nullptr) GlobalFree(w.samples);
  }
  void ExpectWholeFails(const Bytes& bytes, DWORD expected) {
    Whole w = ReadWhole(dir_.Write("bad.wav", bytes));
    EXPECT_EQ(w.result, expected) << WaveResultName(w.result);
    EXPECT_EQ(w.size, 0u);
    EXPECT_EQ(w.format, nullptr);
    EXPECT_EQ(w.samples, nullptr);
    EXPECT_EQ(platform_.OpenFiles(), 0u);
    EXPECT_EQ(platform_.LiveBlocks(), 0u);
  }

  CountingPlatform platform_;
  ScopedPlatform installed_{platform_};
  TempDir dir_;
};

// --- Which files open ---

TEST_F(WaveReaderTest, MissingOrUnopenableFileFailsToOpen) {
  Opened o = Open((dir_.Path() / "nothing.wav").string());
  EXPECT_EQ(o.result, WaveErrOpenFailed);
  EXPECT_EQ(o.file, nullptr);
  EXPECT_EQ(o.format, nullptr);

  const std::string good = dir_.Write("good.wav", PcmWave(Pattern(8)));
  platform_.FailOpens(1);
  o = Open(good);
  EXPECT_EQ(o.result, WaveErrOpenFailed);
  EXPECT_EQ(o.file, nullptr);

  Whole w = ReadWhole((dir_.Path() / "nothing.wav").string());
  EXPECT_EQ(w.result, WaveErrOpenFailed);
  EXPECT_EQ(w.size, 0u);
  EXPECT_EQ(w.format, nullptr);
  EXPECT_EQ(w.samples, nullptr);
}

TEST_F(WaveReaderTest, FileThatIsNotRiffWaveIsRefusedAndClosed) {
  const Bytes fmt = PcmFmt();
  ExpectOpenFails(Riff(fmt, "AVI "), WaveErrBadFile);
  Bytes notRiff = Chunk("RIFX", fmt);
  ExpectOpenFails(notRiff, WaveErrBadFile);
  // Too short for a chunk header: the file layer's code comes through.
  ExpectOpenFails(Bytes{'R', 'I', 'F'}, MMIOERR_CHUNKNOTFOUND);
  ExpectOpenFails(Bytes{}, MMIOERR_CHUNKNOTFOUND);
  // RIFF/WAVE without a "fmt " chunk.
  ExpectOpenFails(Riff(Chunk("data", Pattern(4))), MMIOERR_CHUNKNOTFOUND);
  EXPECT_EQ(platform_.Opens(), 5);
}

// --- The format block ---

TEST_F(WaveReaderTest, FormatChunkMustHoldSixteenBytes) {
  Bytes fields = FormatFields(1, 2, 44100, 16);
  Bytes body = Chunk("fmt ", Bytes(fields.begin(), fields.begin() + 14));
  Append(body, Chunk("data", Pattern(4)));
  ExpectOpenFails(Riff(body), WaveErrBadFile);

  // The chunk claims 16 bytes but the file ends after 10 of them.
  ExpectOpenFails(Riff(Chunk("fmt ", Bytes(fields.begin(), fields.begin() + 10), 16)), WaveErrReadFailed);

  Opened o = Open(dir_.Write("16.wav", PcmWave(Pattern(4))));
  ASSERT_EQ(o.result, 0u);
  EXPECT_EQ(platform_.LastAllocationBytes(), sizeof(WAVEFORMATEX));
  EXPECT_EQ(o.format->wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(o.format->nChannels, 2);
  EXPECT_EQ(o.format->nSamplesPerSec, 44100u);
  EXPECT_EQ(o.format->nAvgBytesPerSec, 176400u);
  EXPECT_EQ(o.format->nBlockAlign, 4);
  EXPECT_EQ(o.format->wBitsPerSample, 16);
  EXPECT_EQ(o.format->cbSize, 0);
  // The file stands just after the "fmt " chunk.
  EXPECT_EQ(mmioSeek(o.file, 0, MMIO_SEEK_CUR), 12 + 8 + 16);
  EXPECT_EQ(WaveReaderClose(&o.file, &o.format), 0u);
}

TEST_F(WaveReaderTest, PcmIgnoresAStrayExtraCountAndTrailingFormatBytes) {
  Bytes fields = FormatFields(1, 1, 8000, 8);
  PutWord(fields, 7);                 // a cbSize that PCM does not use
  Append(fields, Pattern(7, 100));    // and bytes after it
  Bytes body = Chunk("fmt ", fields);  // 25 bytes, odd: padded
  Append(body, Chunk("data", Pattern(5)));
  const std::string path = dir_.Write("pcm18.wav", Riff(body));

  Opened o = Open(path);
  ASSERT_EQ(o.result, 0u);
  EXPECT_EQ(platform_.LastAllocationBytes(), 18u);
  EXPECT_EQ(o.format->cbSize, 0);
  EXPECT_EQ(o.format->nSamplesPerSec, 8000u);
  EXPECT_EQ(mmioSeek(o.file, 0, MMIO_SEEK_CUR), 12 + 8 + 26);  // past the pad byte
  WaveReaderClose(&o.file, &o.format);

  Whole w = ReadWhole(path);
  ASSERT_EQ(w.result, 0u);
  EXPECT_EQ(w.size, 5u);
  EXPECT_EQ(std::memcmp(w.samples, Pattern(5).data(), 5), 0);
  Free(w);
}

TEST_F(WaveReaderTest, OtherTagsCarryTheirExtraFormatBytes) {
  Bytes fields = FormatFields(WAVE_FORMAT_ADPCM, 2, 22050, 4);
  PutWord(fields, 32);
  const Bytes extra = Pattern(32, 9);
  Append(fields, extra);
  Bytes body = Chunk("fmt ", fields);
  Append(body, Chunk("data", Pattern(6)));
  const std::string path = dir_.Write("adpcm.wav", Riff(body));

  Opened o = Open(path);
  ASSERT_EQ(o.result, 0u);
  EXPECT_EQ(platform_.LastAllocationBytes(), 50u);
  EXPECT_EQ(o.format->wFormatTag, WAVE_FORMAT_ADPCM);
  EXPECT_EQ(o.format->cbSize, 32);
  EXPECT_EQ(std::memcmp(reinterpret_cast<BYTE*>(o.format) + 18, extra.data(), 32), 0);
  WaveReaderClose(&o.file, &o.format);
}

TEST_F(WaveReaderTest, ExtraBytesThatRunPastTheFormatChunkStillLeaveItAtItsEnd) {
  // A 20-byte "fmt " chunk whose count says 6: four of the extra bytes come
  // from the next chunk's header.  The step out still lands at the chunk's
  // end, so the data chunk after it is found.
  Bytes fields = FormatFields(3, 1, 48000, 32);
  PutWord(fields, 6);
  Append(fields, Pattern(2, 50));
  Bytes body = Chunk("fmt ", fields);
  Append(body, Chunk("data", Pattern(8)));
  Whole w = ReadWhole(dir_.Write("float.wav", Riff(body)));
  ASSERT_EQ(w.result, 0u);
  EXPECT_EQ(w.format->cbSize, 6);
  EXPECT_EQ(std::memcmp(reinterpret_cast<BYTE*>(w.format) + 20, "data", 4), 0);
  EXPECT_EQ(w.size, 8u);
  EXPECT_EQ(std::memcmp(w.samples, Pattern(8).data(), 8), 0);
  Free(w);
}

TEST_F(WaveReaderTest, ExtraFormatBytesBeyondTheFileAreRefused) {
  // The count itself lies beyond the end of the file.
  Bytes noCount = Riff(Chunk("fmt ", FormatFields(2, 1, 8000, 4)));
  ExpectOpenFails(noCount, WaveErrReadFailed);
  // Only one of the two count bytes is there.
  Bytes halfCount = noCount;
  halfCount.push_back(0x10);
  ExpectOpenFails(halfCount, WaveErrReadFailed);

  // The count is there but announces more bytes than remain: the block was
  // allocated and must be freed again.
  Bytes fields = FormatFields(2, 1, 8000, 4);
  PutWord(fields, 100);
  Append(fields, Pattern(10));
  Bytes shortExtra = Riff(Chunk("fmt ", fields));
  ExpectOpenFails(shortExtra, WaveErrBadFile);
  EXPECT_EQ(platform_.LastAllocationBytes(), 118u);
}

TEST_F(WaveReaderTest, NoHeapForTheFormatBlockOrTheSamples) {
  const std::string path = dir_.Write("a.wav", PcmWave(Pattern(64)));
  platform_.FailAllocations(0);
  Opened o = Open(path);
  EXPECT_EQ(o.result, WaveErrNoMemory);
  EXPECT_EQ(o.file, nullptr);
  EXPECT_EQ(o.format, nullptr);
  EXPECT_EQ(platform_.OpenFiles(), 0u);

  platform_.FailAllocations(1);  // the format block, then not the samples
  Whole w = ReadWhole(path);
  EXPECT_EQ(w.result, WaveErrNoMemory);
  EXPECT_EQ(w.size, 0u);
  EXPECT_EQ(w.format, nullptr);
  EXPECT_EQ(w.samples, nullptr);
}

// --- Finding the data ---

TEST_F(WaveReaderTest, ChunksInAnyOrderWithOthersAroundAndOddSizes) {
  const Bytes samples = Pattern(1001);  // odd: padded
  std::vector<Bytes> bodies;
  {
    Bytes b = Chunk("data", samples);  // data before fmt
    Append(b, PcmFmt(1, 11025, 8));
    bodies.push_back(b);
  }
  {
    Bytes b = Chunk("JUNK", Pattern(3));  // odd junk first
    Append(b, Chunk("LIST", Pattern(9)));
    Append(b, PcmFmt(1, 11025, 8));
    Append(b, Chunk("fact", Pattern(4)));
    Append(b, Chunk("data", samples));
    Append(b, Chunk("cue ", Pattern(5)));
    bodies.push_back(b);
  }
  {
    Bytes b = Chunk("bext", Pattern(1));
    Append(b, Chunk("data", samples));
    Append(b, Chunk("smpl", Pattern(7)));
    Append(b, PcmFmt(1, 11025, 8));
    bodies.push_back(b);
  }
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    SCOPED_TRACE(i);
    Whole w = ReadWhole(dir_.Write("order.wav", Riff(bodies[i])));
    ASSERT_EQ(w.result, 0u) << WaveResultName(w.result);
    EXPECT_EQ(w.size, samples.size());
    EXPECT_EQ(w.format->nSamplesPerSec, 11025u);
    EXPECT_EQ(std::memcmp(w.samples, samples.data(), samples.size()), 0);
    Free(w);
  }
}

TEST_F(WaveReaderTest, NoDataChunk) {
  Bytes body = PcmFmt();
  Append(body, Chunk("LIST", Pattern(6)));
  const std::string path = dir_.Write("nodata.wav", Riff(body));

  Opened o = Open(path);
  ASSERT_EQ(o.result, 0u);
  MMCKINFO data{};
  EXPECT_EQ(WaveReaderFindData(o.file, &data, &o.riff), MMIOERR_CHUNKNOTFOUND);
  EXPECT_EQ(platform_.OpenFiles(), 1u);  // the caller still owns the file
  WaveReaderClose(&o.file, &o.format);

  ExpectWholeFails(Riff(body), MMIOERR_CHUNKNOTFOUND);
}

TEST_F(WaveReaderTest, FailedSeekFailsTheSearchAndFillsNothing) {
  Opened o = Open(dir_.Write("a.wav", PcmWave(Pattern(10))));
  ASSERT_EQ(o.result, 0u);
  MMCKINFO riff = o.riff;
  riff.dwDataOffset = 0xFFFFFFF0;  // no 32-bit position reaches it
  MMCKINFO data{};
  data.cksize = 1234;
  const DWORD result = WaveReaderFindData(o.file, &data, &riff);
  EXPECT_NE(result, 0u);
  EXPECT_EQ(result, MMIOERR_CANNOTSEEK);
  EXPECT_EQ(data.ckid, FOURCC_DATA);
  EXPECT_EQ(data.cksize, 1234u);
  // The file is still usable with the right record.
  ASSERT_EQ(WaveReaderFindData(o.file, &data, &o.riff), 0u);
  EXPECT_EQ(data.cksize, 10u);
  WaveReaderClose(&o.file, &o.format);
}

// --- Reading ---

TEST_F(WaveReaderTest, ReadsClampToWhatIsLeftAndRewindStartsOver) {
  const Bytes samples = Pattern(100);
  Opened o = Open(dir_.Write("a.wav", PcmWave(samples)));
  ASSERT_EQ(o.result, 0u);
  MMCKINFO data{};
  ASSERT_EQ(WaveReaderFindData(o.file, &data, &o.riff), 0u);
  EXPECT_EQ(data.cksize, 100u);
  EXPECT_EQ(data.dwDataOffset, 44u);
  EXPECT_EQ(mmioSeek(o.file, 0, MMIO_SEEK_CUR), 44);

  std::vector<BYTE> got(200, 0xEE);
  DWORD delivered = 99;
  EXPECT_EQ(WaveReaderRead(o.file, 0, got.data(), &data, &delivered), 0u);
  EXPECT_EQ(delivered, 0u);
  EXPECT_EQ(got[0], 0xEE);

  ASSERT_EQ(WaveReaderRead(o.file, 30, got.data(), &data, &delivered), 0u);
  EXPECT_EQ(delivered, 30u);
  EXPECT_EQ(data.cksize, 70u);
  ASSERT_EQ(WaveReaderRead(o.file, 200, got.data() + 30, &data, &delivered), 0u);
  EXPECT_EQ(delivered, 70u);
  EXPECT_EQ(data.cksize, 0u);
  EXPECT_EQ(std::memcmp(got.data(), samples.data(), 100), 0);
  EXPECT_EQ(got[100], 0xEE);  // nothing beyond what was delivered

  // At the end of the data: 0 bytes, result 0.
  ASSERT_EQ(WaveReaderRead(o.file, 10, got.data(), &data, &delivered), 0u);
  EXPECT_EQ(delivered, 0u);

  // A rewind gives the full size again from the first sample byte.
  ASSERT_EQ(WaveReaderFindData(o.file, &data, &o.riff), 0u);
  EXPECT_EQ(data.cksize, 100u);
  ASSERT_EQ(WaveReaderRead(o.file, 5, got.data(), &data, &delivered), 0u);
  EXPECT_EQ(delivered, 5u);
  EXPECT_EQ(std::memcmp(got.data(), samples.data(), 5), 0);
  WaveReaderClose(&o.file, &o.format);
}

TEST_F(WaveReaderTest, PiecewiseReadsAcrossManyBufferRefillsMatchTheFile) {
  // Several times the I/O buffer, in pieces that do not divide it.
  const Bytes samples = Pattern(300000, 7);
  Opened o = Open(dir_.Write("big.wav", PcmWave(samples)));
  ASSERT_EQ(o.result, 0u);
  MMCKINFO data{};
  std::vector<BYTE> got(samples.size());
  for (int pass = 0; pass < 2; ++pass) {
    ASSERT_EQ(WaveReaderFindData(o.file, &data, &o.riff), 0u);
    std::size_t at = 0;
    DWORD delivered = 0;
    do {
      ASSERT_EQ(WaveReaderRead(o.file, 8820, got.data() + at, &data, &delivered), 0u);
      at += delivered;
    } while (delivered == 8820);
    EXPECT_EQ(at, samples.size());
    EXPECT_EQ(got, samples);
  }
  WaveReaderClose(&o.file, &o.format);
}

TEST_F(WaveReaderTest, DataSizeBeyondTheFile) {
  // The data chunk says 1000 bytes; the file holds 40 of them.
  Bytes body = PcmFmt();
  Append(body, Chunk("data", Pattern(40), 1000));
  const Bytes bytes = Riff(body);
  ExpectWholeFails(bytes, WaveErrDataEnded);

  // Piece by piece, the read that runs out reports 0 delivered and
  // WaveErrDataEnded, with the count of bytes left already lowered.
  Opened o = Open(dir_.Write("short.wav", bytes));
  ASSERT_EQ(o.result, 0u);
  MMCKINFO data{};
  ASSERT_EQ(WaveReaderFindData(o.file, &data, &o.riff), 0u);
  std::vector<BYTE> got(1000);
  DWORD delivered = 0;
  ASSERT_EQ(WaveReaderRead(o.file, 30, got.data(), &data, &delivered), 0u);
  EXPECT_EQ(delivered, 30u);
  EXPECT_EQ(WaveReaderRead(o.file, 30, got.data(), &data, &delivered), WaveErrDataEnded);
  EXPECT_EQ(delivered, 0u);
  EXPECT_EQ(data.cksize, 1000u - 60u);
  WaveReaderClose(&o.file, &o.format);

  // A size near 4 GiB is refused without asking the heap for it: only the
  // format block is ever allocated.
  Bytes huge = PcmFmt();
  Append(huge, Chunk("data", Pattern(40), 0xFFFFFFF0));
  const int before = platform_.Allocations();
  ExpectWholeFails(Riff(huge), WaveErrDataEnded);
  EXPECT_EQ(platform_.Allocations() - before, 1);
}

TEST_F(WaveReaderTest, EmptyDataChunkReadsAsNothing) {
  Whole w = ReadWhole(dir_.Write("empty.wav", PcmWave({})));
  ASSERT_EQ(w.result, 0u);
  EXPECT_EQ(w.size, 0u);
  EXPECT_EQ(w.samples, nullptr);
  ASSERT_NE(w.format, nullptr);
  Free(w);
}

TEST_F(WaveReaderTest, ReadWithoutAnOpenFileDeliversNothing) {
  MMCKINFO data{};
  data.cksize = 10;
  BYTE got[10];
  DWORD delivered = 5;
  EXPECT_NE(WaveReaderRead(nullptr, 10, got, &data, &delivered), 0u);
  EXPECT_EQ(delivered, 0u);
}

TEST_F(WaveReaderTest, WholeFileMatchesItsSamples) {
  const Bytes samples = Pattern(4410, 3);
  Whole w = ReadWhole(dir_.Write("ok.wav", PcmWave(samples, 1, 22050, 16)));
  ASSERT_EQ(w.result, 0u);
  EXPECT_EQ(w.size, samples.size());
  EXPECT_EQ(platform_.LiveBlocks(), 2u);
  EXPECT_EQ(platform_.OpenFiles(), 0u);
  EXPECT_EQ(w.format->nChannels, 1);
  EXPECT_EQ(w.format->cbSize, 0);
  EXPECT_EQ(std::memcmp(w.samples, samples.data(), samples.size()), 0);
  Free(w);
}

TEST_F(WaveReaderTest, CloseIsHarmlessTwiceAndOnNothing) {
  HMMIO file = nullptr;
  WAVEFORMATEX* format = nullptr;
  EXPECT_EQ(WaveReaderClose(&file, &format), 0u);

  Opened o = Open(dir_.Write("a.wav", PcmWave(Pattern(4))));
  ASSERT_EQ(o.result, 0u);
  EXPECT_EQ(WaveReaderClose(&o.file, &o.format), 0u);
  EXPECT_EQ(o.file, nullptr);
  EXPECT_EQ(o.format, nullptr);
  EXPECT_EQ(WaveReaderClose(&o.file, &o.format), 0u);
}

TEST(WaveResultNameTest, NamesTheReadersAndTheFileLayersCodes) {
  EXPECT_STREQ(WaveResultName(0), "Success");
  EXPECT_STREQ(WaveResultName(0xE101), "WaveErrBadFile");
  EXPECT_STREQ(WaveResultName(0xE000), "WaveErrNoMemory");
  EXPECT_STREQ(WaveResultName(MMIOERR_CHUNKNOTFOUND), "MMIOERR_CHUNKNOTFOUND");
  EXPECT_EQ(WaveResultName(0x1234), nullptr);
}

}  // namespace
}  // namespace velmo
