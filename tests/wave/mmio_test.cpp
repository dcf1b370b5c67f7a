// The buffered file layer: opening, chunk descent and search, ascent, seeks,
// reads and the I/O buffer's window, with the file positions after each call.
#include "velmo/platform/mmio.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/case_insensitive_open.h"
#include "tests/wave/counting_platform.h"
#include "tests/wave/wave_test_files.h"
#include "velmo/platform/platform.h"

namespace velmo {
namespace {

using testing::Append;
using testing::Bytes;
using testing::Chunk;
using testing::CountingPlatform;
using testing::Pattern;
using testing::Riff;
using testing::TempDir;

LONG Tell(HMMIO file) { return mmioSeek(file, 0, MMIO_SEEK_CUR); }

// Opens `path` with the layer's buffer, of `bufferSize` bytes when given.
HMMIO OpenBuffered(const std::string& path, LONG bufferSize = 0) {
  MMIOINFO info{};
  info.cchBuffer = bufferSize;
  return mmioOpenA(path.c_str(), &info, MMIO_ALLOCBUF);
}

class MmioTest : public ::testing::Test {
 protected:
  CountingPlatform platform_;
  ScopedPlatform installed_{platform_};
  TempDir dir_;
};

TEST_F(MmioTest, OpenRefusesWhatCannotBeRead) {
  MMIOINFO info{};
  EXPECT_EQ(mmioOpenA((dir_.Path() / "missing.wav").c_str(), &info, MMIO_ALLOCBUF), nullptr);
  EXPECT_EQ(info.wErrorRet, MMIOERR_CANNOTOPEN);

  // A directory opens on this system but is no file to read.
  EXPECT_EQ(mmioOpenA(dir_.Path().c_str(), &info, MMIO_ALLOCBUF), nullptr);
  EXPECT_EQ(info.wErrorRet, MMIOERR_CANNOTOPEN);

  const std::string path = dir_.Write("a.wav", Riff({}));
  EXPECT_EQ(mmioOpenA(path.c_str(), &info, MMIO_ALLOCBUF | MMIO_WRITE), nullptr);
  EXPECT_EQ(info.wErrorRet, MMIOERR_CANNOTWRITE);

  platform_.FailOpens(1);
  EXPECT_EQ(mmioOpenA(path.c_str(), &info, MMIO_ALLOCBUF), nullptr);
  EXPECT_EQ(info.wErrorRet, MMIOERR_CANNOTOPEN);
  EXPECT_EQ(platform_.OpenFiles(), 0u);

  HMMIO file = mmioOpenA(path.c_str(), nullptr, MMIO_ALLOCBUF);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(platform_.OpenFiles(), 1u);
  EXPECT_EQ(mmioClose(file, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(platform_.OpenFiles(), 0u);
  EXPECT_EQ(mmioClose(nullptr, 0), MMSYSERR_INVALHANDLE);
}

// What the file holds, read through the layer; "" when it does not open.
std::string OpenAndRead(const std::string& path) {
  HMMIO file = mmioOpenA(path.c_str(), nullptr, MMIO_ALLOCBUF);
  if (file == nullptr) return "";
  char text[16] = {};
  const LONG got = mmioRead(file, text, sizeof text - 1);
  mmioClose(file, 0);
  return got > 0 ? std::string(text, static_cast<std::size_t>(got)) : "";
}

Bytes Text(const char* text) { return Bytes(text, text + std::strlen(text)); }

TEST_F(MmioTest, ANameFindsTheOneFileThatDiffersFromItOnlyInCase) {
  dir_.Write("bgm1.wav", Text("lower"));
  dir_.Write("SFX1.WAV", Text("upper"));
  dir_.Write("Sfx2.wav", Text("exact"));
  dir_.Write("sfx2.WAV", Text("other"));
  std::filesystem::create_directory(dir_.Path() / "sub");
  dir_.Write("sub/sfx3.wav", Text("nested"));
  const std::string in = dir_.Path().string() + "/";

  EXPECT_EQ(OpenAndRead(in + "BGM1.WAV"), "lower");
  EXPECT_EQ(OpenAndRead(in + "sfx1.wav"), "upper");
  EXPECT_EQ(OpenAndRead(in + "sub/SFX3.wav"), "nested");
  // The exact name wins over its case variants; without it, two variants
  // leave the choice open and the open fails.
  EXPECT_EQ(OpenAndRead(in + "Sfx2.wav"), "exact");
  EXPECT_EQ(OpenAndRead(in + "SFX2.WAV"), "");
  // Only the file's own name is matched: folders must be named exactly.
  EXPECT_EQ(OpenAndRead(in + "SUB/sfx3.wav"), "");
  EXPECT_EQ(OpenAndRead(in + "bgm2.wav"), "");
  EXPECT_EQ(OpenAndRead(in + "BGM1.WAV/"), "");
  EXPECT_EQ(platform_.OpenFiles(), 0u);

  // A bare name, as the sample program opens its files, is looked for in
  // the current folder.
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_.Path());
  EXPECT_EQ(OpenAndRead("Bgm1.Wav"), "lower");
  std::filesystem::current_path(previous);
}

// A FIFO blocks an ordinary open until a writer comes, so each open here
// would hang the test if the layer waited on it.
TEST_F(MmioTest, OnlyRegularFilesOpenAndNothingElseIsWaitedOn) {
  const std::filesystem::path in = dir_.Path();
  ASSERT_EQ(::mkfifo((in / "pipe.wav").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((in / "written.wav").c_str(), 0600), 0);
  const int socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(socketFd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (in / "socket.wav").string();
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socketPath.c_str());
  ASSERT_EQ(::bind(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  std::filesystem::create_directory(in / "folder.wav");
  std::filesystem::create_symlink(in / "pipe.wav", in / "link-to-pipe.wav");
  std::filesystem::create_symlink("/dev/null", in / "null.wav");
  dir_.Write("file.wav", Text("plain"));
  std::filesystem::create_symlink(in / "file.wav", in / "link-to-file.wav");
  // A FIFO with a writer: its open would succeed, and a read wait for ever.
  const int writer = ::open((in / "written.wav").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);

  const std::string missing = (in / "missing.wav").string();
  errno = 0;
  ASSERT_EQ(OpenForReadingIgnoringCase(missing.c_str()), -1);
  const int missingErrno = errno;
  EXPECT_EQ(missingErrno, ENOENT);
  for (const char* name : {"pipe.wav", "PIPE.WAV", "written.wav", "socket.wav", "Socket.wav", "folder.wav",
                           "FOLDER.wav", "link-to-pipe.wav", "null.wav"}) {
    const std::string path = (in / name).string();
    errno = 0;
    EXPECT_EQ(OpenForReadingIgnoringCase(path.c_str()), -1) << name;
    EXPECT_EQ(errno, missingErrno) << name << " fails otherwise than a missing file";
    MMIOINFO info{};
    EXPECT_EQ(mmioOpenA(path.c_str(), &info, MMIO_ALLOCBUF), nullptr) << name;
    EXPECT_EQ(info.wErrorRet, MMIOERR_CANNOTOPEN) << name;
  }
  EXPECT_EQ(platform_.OpenFiles(), 0u);

  // Regular files open as before, through a link and by another case too,
  // and read with blocking reads.
  for (const char* name : {"file.wav", "FILE.WAV", "link-to-file.wav"}) {
    const std::string path = (in / name).string();
    const int fd = OpenForReadingIgnoringCase(path.c_str());
    ASSERT_GE(fd, 0) << name;
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << name;
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << name;
    ::close(fd);
    EXPECT_EQ(OpenAndRead(path), "plain") << name;
  }
  ::close(writer);
  ::close(socketFd);
}

TEST_F(MmioTest, PlainDescentReadsTheHeaderAndFormTypeOfRiff) {
  Bytes body = Chunk("fmt ", Pattern(16));
  const std::string path = dir_.Write("a.wav", Riff(body));
  HMMIO file = OpenBuffered(path);
  ASSERT_NE(file, nullptr);

  MMCKINFO riff{};
  ASSERT_EQ(mmioDescend(file, &riff, nullptr, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(riff.ckid, FOURCC_RIFF);
  EXPECT_EQ(riff.cksize, 4u + 24u);
  EXPECT_EQ(riff.fccType, mmioFOURCC('W', 'A', 'V', 'E'));
  EXPECT_EQ(riff.dwDataOffset, 8u);
  EXPECT_EQ(Tell(file), 12);

  // A chunk without a form type leaves the file at its data.
  MMCKINFO fmt{};
  ASSERT_EQ(mmioDescend(file, &fmt, &riff, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(fmt.ckid, mmioFOURCC('f', 'm', 't', ' '));
  EXPECT_EQ(fmt.cksize, 16u);
  EXPECT_EQ(fmt.fccType, 0u);
  EXPECT_EQ(fmt.dwDataOffset, 20u);
  EXPECT_EQ(Tell(file), 20);

  // Nothing after the last chunk: the parent has ended.
  ASSERT_EQ(mmioAscend(file, &fmt, 0), MMSYSERR_NOERROR);
  MMCKINFO none{};
  EXPECT_EQ(mmioDescend(file, &none, &riff, 0), MMIOERR_CHUNKNOTFOUND);
  mmioClose(file, 0);
}

TEST_F(MmioTest, DescentFailsOnATruncatedHeader) {
  const Bytes whole = Riff(Chunk("fmt ", Pattern(16)));
  for (std::size_t length : {std::size_t{0}, std::size_t{5}, std::size_t{8}, std::size_t{11}}) {
    SCOPED_TRACE(length);
    const std::string path = dir_.Write("t.wav", Bytes(whole.begin(), whole.begin() + static_cast<long>(length)));
    HMMIO file = OpenBuffered(path);
    ASSERT_NE(file, nullptr);
    MMCKINFO riff{};
    EXPECT_EQ(mmioDescend(file, &riff, nullptr, 0), MMIOERR_CHUNKNOTFOUND);
    mmioClose(file, 0);
  }
}

TEST_F(MmioTest, SearchStepsOverOddChunksAndTheirPadBytes) {
  Bytes body = Chunk("junk", Pattern(3));   // 3 bytes + pad
  Append(body, Chunk("odd ", Pattern(5)));  // 5 bytes + pad
  Append(body, Chunk("LIST", Pattern(0)));  // an empty LIST with no form type read
  Append(body, Chunk("data", Pattern(7)));
  const Bytes file_bytes = Riff(body);
  const std::string path = dir_.Write("a.wav", file_bytes);
  HMMIO file = OpenBuffered(path, 4);  // a tiny buffer: headers straddle refills
  ASSERT_NE(file, nullptr);

  MMCKINFO riff{};
  ASSERT_EQ(mmioDescend(file, &riff, nullptr, 0), MMSYSERR_NOERROR);
  MMCKINFO data{};
  data.ckid = mmioFOURCC('d', 'a', 't', 'a');
  ASSERT_EQ(mmioDescend(file, &data, &riff, MMIO_FINDCHUNK), MMSYSERR_NOERROR);
  const DWORD expectedOffset = 12 + (8 + 4) + (8 + 6) + 8 + 8;
  EXPECT_EQ(data.dwDataOffset, expectedOffset);
  EXPECT_EQ(data.cksize, 7u);
  EXPECT_EQ(Tell(file), static_cast<LONG>(expectedOffset));
  char first = 0;
  ASSERT_EQ(mmioRead(file, &first, 1), 1);
  EXPECT_EQ(first, 0);

  // Ascending from part way through an odd chunk lands past its pad byte:
  // here, at the end of the file.
  ASSERT_EQ(mmioAscend(file, &data, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(Tell(file), static_cast<LONG>(file_bytes.size()));
  mmioClose(file, 0);
}

TEST_F(MmioTest, SearchNeverLeavesTheParentNorRunsPastTheFile) {
  // The RIFF size covers only the "fmt " chunk; the "data" chunk after it is
  // outside the parent and must not be found.
  Bytes body = Chunk("fmt ", Pattern(16));
  Append(body, Chunk("data", Pattern(4)));
  const std::string outside = dir_.Write("outside.wav", Riff(body, "WAVE", 4 + 24));
  // The parent ends in the middle of the "data" header.
  const std::string straddle = dir_.Write("straddle.wav", Riff(body, "WAVE", 4 + 24 + 6));
  // A chunk whose size runs far past the end of the file, and a parent that
  // claims to go on for ever.
  Bytes huge = Chunk("junk", Pattern(2), 0xFFFFFFF0);
  const std::string past = dir_.Write("past.wav", Riff(huge, "WAVE", 0xFFFFFFFF));

  for (const std::string& path : {outside, straddle, past}) {
    SCOPED_TRACE(path);
    HMMIO file = OpenBuffered(path);
    ASSERT_NE(file, nullptr);
    MMCKINFO riff{};
    ASSERT_EQ(mmioDescend(file, &riff, nullptr, 0), MMSYSERR_NOERROR);
    MMCKINFO data{};
    data.ckid = mmioFOURCC('d', 'a', 't', 'a');
    EXPECT_EQ(mmioDescend(file, &data, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
    EXPECT_EQ(data.cksize, 0u);  // a failed search fills nothing
    mmioClose(file, 0);
  }
}

TEST_F(MmioTest, SearchForAListByFormType) {
  Bytes body = Chunk("LIST", [] {
    Bytes b;
    testing::PutId(b, "adtl");
    return b;
  }());
  Bytes info;
  testing::PutId(info, "INFO");
  Append(info, Chunk("INAM", Pattern(3)));
  Append(body, Chunk("LIST", info));
  const std::string path = dir_.Write("a.wav", Riff(body));
  HMMIO file = OpenBuffered(path);
  ASSERT_NE(file, nullptr);
  MMCKINFO riff{};
  ASSERT_EQ(mmioDescend(file, &riff, nullptr, 0), MMSYSERR_NOERROR);
  MMCKINFO list{};
  list.fccType = mmioFOURCC('I', 'N', 'F', 'O');
  ASSERT_EQ(mmioDescend(file, &list, &riff, MMIO_FINDLIST), MMSYSERR_NOERROR);
  EXPECT_EQ(list.ckid, FOURCC_LIST);
  EXPECT_EQ(list.dwDataOffset, 12u + 12u + 8u);
  EXPECT_EQ(Tell(file), static_cast<LONG>(list.dwDataOffset + 4));
  MMCKINFO name{};
  ASSERT_EQ(mmioDescend(file, &name, &list, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(name.ckid, mmioFOURCC('I', 'N', 'A', 'M'));
  mmioClose(file, 0);
}

TEST_F(MmioTest, SeeksAndReadsAcrossBufferRefills) {
  const Bytes bytes = Pattern(1000);
  const std::string path = dir_.Write("raw.bin", bytes);
  for (LONG bufferSize : {0, 7, 64}) {
    SCOPED_TRACE(bufferSize);
    HMMIO file = OpenBuffered(path, bufferSize);
    ASSERT_NE(file, nullptr);
    char got[1000];
    // Small reads that straddle the buffer's end, then one larger than it.
    ASSERT_EQ(mmioRead(file, got, 5), 5);
    ASSERT_EQ(mmioRead(file, got + 5, 11), 11);
    ASSERT_EQ(mmioRead(file, got + 16, 300), 300);
    EXPECT_EQ(std::memcmp(got, bytes.data(), 316), 0);
    EXPECT_EQ(Tell(file), 316);

    EXPECT_EQ(mmioSeek(file, 990, MMIO_SEEK_SET), 990);
    EXPECT_EQ(mmioRead(file, got, 100), 10);  // short at the end of the file
    EXPECT_EQ(std::memcmp(got, bytes.data() + 990, 10), 0);
    EXPECT_EQ(mmioRead(file, got, 100), 0);

    EXPECT_EQ(mmioSeek(file, -4, MMIO_SEEK_END), 996);
    EXPECT_EQ(mmioSeek(file, -996, MMIO_SEEK_CUR), 0);
    EXPECT_EQ(mmioSeek(file, -1, MMIO_SEEK_CUR), -1);
    EXPECT_EQ(Tell(file), 0);  // a refused seek leaves the position alone
    EXPECT_EQ(mmioSeek(file, 5000, MMIO_SEEK_SET), 5000);  // past the end is allowed
    EXPECT_EQ(mmioRead(file, got, 1), 0);
    EXPECT_EQ(mmioRead(file, got, -1), -1);
    mmioClose(file, 0);
  }
}

TEST_F(MmioTest, UnbufferedFileReadsButHasNoWindow) {
  const Bytes bytes = Pattern(100);
  const std::string path = dir_.Write("raw.bin", bytes);
  HMMIO file = mmioOpenA(path.c_str(), nullptr, MMIO_READ);
  ASSERT_NE(file, nullptr);
  char got[100];
  ASSERT_EQ(mmioRead(file, got, 60), 60);
  ASSERT_EQ(mmioRead(file, got + 60, 60), 40);
  EXPECT_EQ(std::memcmp(got, bytes.data(), 100), 0);
  MMIOINFO info{};
  ASSERT_EQ(mmioGetInfo(file, &info, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(info.pchBuffer, nullptr);
  EXPECT_EQ(info.pchNext, info.pchEndRead);
  EXPECT_EQ(mmioAdvance(file, &info, 0), MMIOERR_UNBUFFERED);
  mmioClose(file, 0);
}

TEST_F(MmioTest, WindowIsConsumedRefilledAndHandedBack) {
  const Bytes bytes = Pattern(20);
  const std::string path = dir_.Write("raw.bin", bytes);
  HMMIO file = OpenBuffered(path, 8);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(mmioSeek(file, 3, MMIO_SEEK_SET), 3);

  // A fresh window after a seek is empty; advancing fills it from there.
  MMIOINFO info{};
  ASSERT_EQ(mmioGetInfo(file, &info, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(info.pchNext, info.pchEndRead);
  EXPECT_EQ(info.hmmio, file);
  ASSERT_EQ(mmioAdvance(file, &info, 0), MMSYSERR_NOERROR);
  ASSERT_EQ(info.pchEndRead - info.pchNext, 8);
  EXPECT_EQ(info.lBufOffset, 3);
  EXPECT_EQ(static_cast<std::uint8_t>(*info.pchNext), 3);

  // Take 5 bytes, then advance with 3 not taken: they are kept, not lost.
  info.pchNext += 5;
  ASSERT_EQ(mmioAdvance(file, &info, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(info.lBufOffset, 8);
  EXPECT_EQ(static_cast<std::uint8_t>(*info.pchNext), 8);
  ASSERT_EQ(info.pchEndRead - info.pchNext, 8);

  // Hand back after taking 2 more: the file position is 10.
  info.pchNext += 2;
  ASSERT_EQ(mmioSetInfo(file, &info, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(Tell(file), 10);
  char next = 0;
  ASSERT_EQ(mmioRead(file, &next, 1), 1);
  EXPECT_EQ(next, 10);

  // At the end of the file the refilled window stays empty.
  ASSERT_EQ(mmioSeek(file, 20, MMIO_SEEK_SET), 20);
  ASSERT_EQ(mmioGetInfo(file, &info, 0), MMSYSERR_NOERROR);
  ASSERT_EQ(mmioAdvance(file, &info, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(info.pchNext, info.pchEndRead);

  // A window pointer outside the buffer's valid bytes is refused.
  MMIOINFO bad = info;
  bad.pchNext = info.pchBuffer + 100;
  EXPECT_EQ(mmioSetInfo(file, &bad, 0), MMSYSERR_INVALPARAM);
  EXPECT_EQ(mmioAdvance(file, &bad, 0), MMSYSERR_INVALPARAM);
  EXPECT_EQ(mmioGetInfo(nullptr, &info, 0), MMSYSERR_INVALHANDLE);
  mmioClose(file, 0);
}

}  // namespace
}  // namespace velmo
