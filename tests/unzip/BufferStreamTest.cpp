#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "BufferStream.h"
#include "ExpectThrowMsg.h"
#include "ScopedEnv.h"
#include "StringResource.h"
#include "Streams.h"

namespace fs = std::filesystem;
using platform::EStreamError;
using platform::TMemoryStream;
using unzip::TS_BufferStream;

namespace {

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
  return v;
}

// A memory stream that records the transfers asked of it, and can refuse writes past a limit.
class TRecordingStream : public TMemoryStream {
public:
  using TMemoryStream::TMemoryStream;
  int64_t Read(void* buffer, int64_t count) override {
    const int64_t n = TMemoryStream::Read(buffer, count);
    Reads.push_back(n);
    return n;
  }
  int64_t Write(const void* buffer, int64_t count) override {
    Writes.push_back(count);
    if (WriteLimit >= 0) count = std::min<int64_t>(count, std::max<int64_t>(WriteLimit - Position(), 0));
    return TMemoryStream::Write(buffer, count);
  }
  std::vector<int64_t> Reads, Writes;
  int64_t WriteLimit = -1;
};

// A scratch directory and a Wine prefix around each test.
class ScratchTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quorbin-streams-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "prefix" / "drive_c");
    prefix.emplace((dir / "prefix").string());
  }
  void TearDown() override {
    prefix.reset();
    fs::remove_all(dir);
  }
  std::optional<ScopedWinePrefix> prefix;
  std::string Path(const std::string& name) const { return (dir / name).string(); }
  static void WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
  }
  static std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  fs::path dir;
  bool hadOld = false;
  std::string oldValue;
};

}  // namespace

// ---- Reading ---------------------------------------------------------------------------

TEST(BufferStream, ReadingTenThousandBytesTakesTwoFills) {
  const auto data = Pattern(10000);
  TRecordingStream inner(data.data(), 10000);
  TS_BufferStream s(inner);
  int fills = 0;
  s.OnFill = [&](TS_BufferStream&) { ++fills; };
  std::vector<uint8_t> got(10000);
  EXPECT_EQ(s.Read(got.data(), 10000), 10000);
  EXPECT_EQ(fills, 2);
  EXPECT_EQ(inner.Reads, (std::vector<int64_t>{8192, 1808}));
  EXPECT_EQ(got, data);
  uint8_t more;
  EXPECT_EQ(s.Read(&more, 1), 0);
  EXPECT_EQ(s.Position(), 10000);
}

TEST(BufferStream, ReadThroughTakesTheBufferedBytesThenOneInnerRead) {
  const auto data = Pattern(40000);
  TRecordingStream inner(data.data(), 40000);
  TS_BufferStream s(inner);
  std::vector<uint8_t> got(40000);
  EXPECT_EQ(s.Read(got.data(), 10), 10);
  EXPECT_EQ(s.ReadThrough(got.data() + 10, 16000), 16000);
  EXPECT_EQ(s.ReadThrough(got.data() + 16010, 16000), 16000);
  EXPECT_EQ(s.ReadThrough(got.data() + 32010, 16000), 7990);  // short only at the end
  EXPECT_EQ(inner.Reads, (std::vector<int64_t>{8192, 7818, 16000, 7990, 0}));
  EXPECT_EQ(got, data);
  EXPECT_EQ(s.Position(), 40000);
}

TEST(BufferStream, SmallReadsSeeTheLogicalPosition) {
  const auto data = Pattern(20000);
  TRecordingStream inner(data.data(), 20000);
  TS_BufferStream s(inner);
  uint8_t b[7];
  int64_t pos = 0;
  while (pos < 20000) {
    const int64_t n = s.Read(b, 7);
    ASSERT_GT(n, 0);
    for (int64_t i = 0; i < n; ++i) ASSERT_EQ(b[i], data[pos + i]) << pos + i;
    pos += n;
    ASSERT_EQ(s.Position(), pos);
  }
  EXPECT_EQ(s.Size(), 20000);
  // The last read asked for more than was left and found the end.
  EXPECT_EQ(inner.Reads, (std::vector<int64_t>{8192, 8192, 3616, 0}));
}

TEST(BufferStream, SeekToTheSamePositionKeepsTheBuffer) {
  const auto data = Pattern(10000);
  TRecordingStream inner(data.data(), 10000);
  TS_BufferStream s(inner);
  std::vector<uint8_t> got(100);
  s.ReadBuffer(got.data(), 100);
  EXPECT_EQ(s.Seek(100, platform::soFromBeginning), 100);
  EXPECT_EQ(s.Seek(0, platform::soFromCurrent), 100);
  s.ReadBuffer(got.data(), 100);
  EXPECT_EQ(inner.Reads.size(), 1u);  // still the first fill
  EXPECT_EQ(got, std::vector<uint8_t>(data.begin() + 100, data.begin() + 200));

  // Anywhere else empties the buffer and reads from the new place.
  EXPECT_EQ(s.Seek(50, platform::soFromBeginning), 50);
  s.ReadBuffer(got.data(), 100);
  EXPECT_EQ(inner.Reads.size(), 2u);
  EXPECT_EQ(got, std::vector<uint8_t>(data.begin() + 50, data.begin() + 150));
  EXPECT_EQ(s.Seek(-30, platform::soFromCurrent), 120);
  s.ReadBuffer(got.data(), 1);
  EXPECT_EQ(got[0], data[120]);
}

TEST(BufferStream, SeekForwardWithinTheBytesReadAheadReadsNothingMore) {
  const auto data = Pattern(20000);
  TRecordingStream inner(data.data(), 20000);
  TS_BufferStream s(inner);
  std::vector<uint8_t> got(30);
  s.ReadBuffer(got.data(), 30);
  // As an archive walk does: to the next header, then over its name.
  EXPECT_EQ(s.Seek(4000, platform::soFromBeginning), 4000);
  EXPECT_EQ(s.Seek(100, platform::soFromCurrent), 4100);
  EXPECT_EQ(s.Position(), 4100);
  s.ReadBuffer(got.data(), 30);
  EXPECT_EQ(got, std::vector<uint8_t>(data.begin() + 4100, data.begin() + 4130));
  EXPECT_EQ(inner.Reads.size(), 1u);
  // To the very end of what was read ahead: the next read refills from there.
  EXPECT_EQ(s.Seek(8192, platform::soFromBeginning), 8192);
  EXPECT_EQ(inner.Reads.size(), 1u);
  s.ReadBuffer(got.data(), 30);
  EXPECT_EQ(got, std::vector<uint8_t>(data.begin() + 8192, data.begin() + 8222));
  EXPECT_EQ(inner.Reads, (std::vector<int64_t>{8192, 8192}));
  // One byte past it goes to the inner stream.
  EXPECT_EQ(s.Seek(16384 + 1, platform::soFromBeginning), 16385);
  s.ReadBuffer(got.data(), 1);
  EXPECT_EQ(got[0], data[16385]);
  EXPECT_EQ(inner.Reads.size(), 3u);
  EXPECT_EQ(s.Size(), 20000);
}

TEST(BufferStream, SeekForwardAfterWritesAndPutBacksGivesTheStreamsBytes) {
  const auto data = Pattern(10000);
  TMemoryStream inner(data.data(), 10000);
  TS_BufferStream s(inner);
  uint8_t b[4];
  s.ReadBuffer(b, 4);
  s.WriteBuffer("WXYZ", 4);  // 4..7, still in the buffer
  EXPECT_EQ(s.Seek(2, platform::soFromCurrent), 10);
  s.ReadBuffer(b, 2);
  EXPECT_EQ(b[0], data[10]);
  // Back over the written bytes: they come from the inner stream, not from a stale buffer.
  EXPECT_EQ(s.Seek(3, platform::soFromBeginning), 3);
  EXPECT_EQ(s.Seek(1, platform::soFromCurrent), 4);
  s.ReadBuffer(b, 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b), 4), "WXYZ");
  // A put-back byte is never reached by a forward seek, and the seek leaves nothing to put
  // back over.
  s.PutBack('Q');
  EXPECT_EQ(s.Seek(1, platform::soFromCurrent), 8);
  EXPECT_THROW_MSG(s.PutBack(1), EStreamError, "Putback overflow");
  s.ReadBuffer(b, 1);
  EXPECT_EQ(b[0], data[8]);
  s.PutBack(b[0]);
  EXPECT_THROW_MSG(s.PutBack(1), EStreamError, "Putback overflow");
  EXPECT_EQ(s.Position(), 8);
}

TEST(BufferStream, SeekFromTheEndIgnoresTheSignOfTheOffset) {
  const auto data = Pattern(100);
  TMemoryStream inner(data.data(), 100);
  TS_BufferStream s(inner);
  EXPECT_EQ(s.Seek(4, platform::soFromEnd), 96);
  EXPECT_EQ(s.Seek(0, platform::soFromBeginning), 0);
  EXPECT_EQ(s.Seek(-4, platform::soFromEnd), 96);
  uint8_t b[10];
  EXPECT_EQ(s.Read(b, 10), 4);
  EXPECT_EQ(b[0], data[96]);
  EXPECT_EQ(s.Seek(200, platform::soFromBeginning), 200);  // past the end is a place too
  EXPECT_EQ(s.Read(b, 10), 0);

  // Places before the start or beyond 64 bits are refused and change nothing.
  s.Seek(10, platform::soFromBeginning);
  EXPECT_THROW_MSG(s.Seek(-1, platform::soFromBeginning), EStreamError, "Seek error");
  EXPECT_THROW_MSG(s.Seek(-11, platform::soFromCurrent), EStreamError, "Seek error");
  EXPECT_THROW_MSG(s.Seek(INT64_MAX, platform::soFromCurrent), EStreamError, "Seek error");
  EXPECT_THROW_MSG(s.Seek(INT64_MIN, platform::soFromEnd), EStreamError, "Seek error");
  EXPECT_EQ(s.Position(), 10);

  // The logical size counts bytes still waiting in the buffer.
  TMemoryStream empty;
  TS_BufferStream w(empty);
  w.WriteBuffer(data.data(), 20);
  EXPECT_EQ(w.Size(), 20);
  EXPECT_EQ(w.Seek(-4, platform::soFromEnd), 16);
  EXPECT_EQ(empty.Size(), 20);  // the move wrote the pending bytes
}

TEST(BufferStream, InvalidOriginRaisesTheBaseErrorAndChangesNothing) {
  const auto data = Pattern(100);
  TMemoryStream inner(data.data(), 100);
  TS_BufferStream s(inner);
  uint8_t b[10];
  s.ReadBuffer(b, 10);
  try {
    s.Seek(0, 3);
    ADD_FAILURE() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.Message, "Invalid seek origin (3)");
    EXPECT_EQ(dynamic_cast<const EStreamError*>(&e), nullptr);
  }
  EXPECT_EQ(s.Position(), 10);
  s.PutBack(0xAB);  // the buffer is still there
  s.ReadBuffer(b, 2);
  EXPECT_EQ(b[0], 0xAB);
  EXPECT_EQ(b[1], data[10]);
}

TEST(BufferStream, PutBackNeedsAByteReadFromTheBuffer) {
  const auto data = Pattern(100);
  TMemoryStream inner(data.data(), 100);
  TS_BufferStream s(inner);
  EXPECT_THROW_MSG(s.PutBack(1), EStreamError, "Putback overflow");
  uint8_t b;
  s.ReadBuffer(&b, 1);
  s.PutBack(0x5A);
  EXPECT_EQ(s.Position(), 0);
  s.ReadBuffer(&b, 1);
  EXPECT_EQ(b, 0x5A);
  s.ReadBuffer(&b, 1);
  EXPECT_EQ(b, data[1]);
  s.Seek(40, platform::soFromBeginning);
  EXPECT_THROW_MSG(s.PutBack(1), EStreamError, "Putback overflow");
  // Nothing to step back over while writing either.
  TMemoryStream out;
  TS_BufferStream w(out);
  w.WriteBuffer(data.data(), 3);
  EXPECT_THROW_MSG(w.PutBack(1), EStreamError, "Putback overflow");
}

// ---- Writing ---------------------------------------------------------------------------

TEST(BufferStream, WritesGoOutInWholeBuffersAndOnMove) {
  const auto data = Pattern(20000);
  TRecordingStream inner;
  {
    int flushes = 0;
    TS_BufferStream s(inner);
    s.OnFlush = [&](TS_BufferStream&) { ++flushes; };
    for (size_t i = 0; i < data.size(); i += 3)
      s.WriteBuffer(data.data() + i, std::min<int64_t>(3, data.size() - i));
    EXPECT_EQ(s.Position(), 20000);
    EXPECT_EQ(inner.Writes, (std::vector<int64_t>{8192, 8192}));
    EXPECT_EQ(flushes, 2);
    // Same position: the pending bytes stay; elsewhere: they are written first.
    s.Seek(20000, platform::soFromBeginning);
    EXPECT_EQ(inner.Size(), 16384);
    s.Seek(0, platform::soFromBeginning);
    EXPECT_EQ(inner.Size(), 20000);
    EXPECT_EQ(flushes, 3);
    s.WriteBuffer("xy", 2);
  }
  // Destruction wrote the two pending bytes.
  auto expected = data;
  expected[0] = 'x';
  expected[1] = 'y';
  EXPECT_EQ(inner.Bytes(), expected);
}

TEST(BufferStream, AFailedFlushIsReported) {
  const auto data = Pattern(9000);
  TRecordingStream inner;
  inner.WriteLimit = 100;
  TS_BufferStream s(inner);
  // The first full buffer is refused: the write says so, and WriteBuffer raises.
  EXPECT_LT(s.Write(data.data(), 9000), 9000);
  EXPECT_THROW_MSG(s.WriteBuffer(data.data(), 9000), platform::EWriteError, "Stream write error");

  TRecordingStream inner2;
  inner2.WriteLimit = 5;
  TS_BufferStream t(inner2);
  t.WriteBuffer(data.data(), 10);
  EXPECT_THROW_MSG(t.Seek(0, platform::soFromBeginning), EStreamError, "Seek error");
  EXPECT_EQ(inner2.Position(), 5);  // the inner stream did not move to the target
  TS_BufferStream u(inner2);
  u.WriteBuffer(data.data(), 10);
  EXPECT_THROW(u.Flush(), platform::EWriteError);
}

TEST(BufferStream, ChangingDirectionWithoutASeek) {
  const auto data = Pattern(10000);
  TMemoryStream inner(data.data(), 10000);
  {
    TS_BufferStream s(inner);
    uint8_t b[10];
    s.ReadBuffer(b, 10);
    // A write after reads lands at the logical position, not after the bytes read ahead.
    s.WriteBuffer("ABCDE", 5);
    EXPECT_EQ(s.Position(), 15);
    s.Flush();
    // A read after writes comes after them.
    s.WriteBuffer("FG", 2);
    s.ReadBuffer(b, 3);
    EXPECT_EQ(b[0], data[17]);
    EXPECT_EQ(s.Position(), 20);
  }
  auto expected = data;
  std::copy_n("ABCDEFG", 7, expected.begin() + 10);
  EXPECT_EQ(inner.Bytes(), expected);
}

TEST(BufferStream, BehavesLikeTheStreamItBuffersUnderMixedOperations) {
  // Random reads, writes and seeks (directions changed with and without a seek) on a
  // buffered stream and, as the model, straight on a memory stream; they must agree at every
  // step and in the bytes left behind.
  std::mt19937 rng(4242);
  std::mt19937 through(77);  // which reads go past the buffer (ReadThrough)
  for (int round = 0; round < 40; ++round) {
    const auto start = Pattern(rng() % 30000);
    TMemoryStream inner(start.data(), static_cast<int64_t>(start.size()));
    TMemoryStream model(start.data(), static_cast<int64_t>(start.size()));
    {
      TS_BufferStream s(inner);
      std::vector<uint8_t> a(20000), b(20000);
      for (int op = 0; op < 60; ++op) {
        const int64_t n = rng() % 3 == 0 ? rng() % 20000 : rng() % 64;
        switch (rng() % 4) {
          case 0: {
            const int64_t got = through() % 2 ? s.ReadThrough(a.data(), n) : s.Read(a.data(), n);
            ASSERT_EQ(got, model.Read(b.data(), n)) << round << "/" << op;
            ASSERT_TRUE(std::equal(a.begin(), a.begin() + got, b.begin())) << round << "/" << op;
            break;
          }
          case 1:
            for (int64_t i = 0; i < n; ++i) a[i] = static_cast<uint8_t>(rng());
            ASSERT_EQ(s.Write(a.data(), n), n);
            model.WriteBuffer(a.data(), n);
            break;
          case 2: {
            const int64_t size = std::max(model.Size(), model.Position());
            const int origin = static_cast<int>(rng() % 3);
            int64_t offset = 0, target = 0;
            if (origin == 0) target = offset = rng() % (size + 100);
            if (origin == 1) {
              offset = static_cast<int64_t>(rng() % (size + 100)) - model.Position();
              target = model.Position() + offset;
            }
            if (origin == 2) {
              const int64_t back = rng() % (size + 1);
              offset = rng() % 2 ? back : -back;
              target = size - back;
            }
            ASSERT_EQ(s.Seek(offset, origin), target) << round << "/" << op;
            model.SetPosition(target);
            break;
          }
          default:
            ASSERT_EQ(s.Position(), model.Position()) << round << "/" << op;
            ASSERT_EQ(s.Size(), std::max(model.Size(), model.Position())) << round << "/" << op;
        }
      }
    }
    ASSERT_EQ(inner.Bytes(), model.Bytes()) << round;
  }
}

// ---- Files -------------------------------------------------------------------------------

TEST_F(ScratchTest, FileStreamReadsAFileInTwoFillsAndGivesItsHandle) {
  const auto data = Pattern(10000);
  WriteFile(Path("ten.bin"), data);
  unzip::TLFNFileStream s(Path("ten.bin"), unzip::fmOpenReadDenyWrite);
  int fills = 0;
  s.OnFill = [&](TS_BufferStream&) { ++fills; };
  std::vector<uint8_t> got(10000);
  EXPECT_EQ(s.Read(got.data(), 10000), 10000);
  EXPECT_EQ(fills, 2);
  EXPECT_EQ(got, data);
  struct stat st;
  ASSERT_EQ(::fstat(s.Handle(), &st), 0);
  EXPECT_EQ(st.st_size, 10000);
  EXPECT_EQ(s.Size(), 10000);
}

TEST_F(ScratchTest, FileStreamCreatesThroughWindowsNamesAndFlushesOnDestruction) {
  const auto data = Pattern(5000);
  {
    unzip::TLFNFileStream s("c:\\out.bin", unzip::fmCreateFile);
    s.WriteBuffer(data.data(), 5000);
    EXPECT_EQ(ReadFile(Path("prefix/drive_c/out.bin")).size(), 0u);
  }
  EXPECT_EQ(ReadFile(Path("prefix/drive_c/out.bin")), data);
  // Create empties an existing file; plain read reads it.
  { unzip::TLFNFileStream s("C:/out.bin", unzip::fmCreateFile); }
  unzip::TLFNFileStream r("c:\\out.bin", unzip::fmPlainRead);
  EXPECT_EQ(r.Size(), 0);
}

TEST_F(ScratchTest, FileStreamFailuresNameTheFile) {
  EXPECT_THROW_MSG(unzip::TLFNFileStream(Path("missing.zip"), unzip::fmOpenReadDenyWrite),
                   platform::EFOpenError, "Cannot open file " + Path("missing.zip"));
  EXPECT_THROW_MSG(unzip::TLFNFileStream("c:\\no\\such\\dir\\x.bin", unzip::fmCreateFile),
                   platform::EFCreateError, "Cannot create file c:\\no\\such\\dir\\x.bin");
  // A directory is not a file, even where the host would open one for reading.
  EXPECT_THROW_MSG(unzip::TLFNFileStream(dir.string(), unzip::fmPlainRead), platform::EFOpenError,
                   "Cannot open file " + dir.string());
}

TEST_F(ScratchTest, PositionsPastFourGigabytes) {
  // A sparse file: no disk space is used for the hole.
  const int64_t big = (int64_t{5} << 30) + 123;
  {
    platform::TFileStream f(Path("big.bin"), platform::fmCreate);
    f.SetSize(big);
    EXPECT_EQ(f.Size(), big);
    EXPECT_EQ(f.Seek(big - 8, platform::soFromBeginning), big - 8);
    f.WriteBuffer("12345678", 8);
  }
  unzip::TLFNFileStream s(Path("big.bin"), unzip::fmOpenReadDenyWrite);
  EXPECT_EQ(s.Size(), big);
  EXPECT_EQ(s.Seek(-8, platform::soFromEnd), big - 8);
  char b[9] = {};
  s.ReadBuffer(b, 8);
  EXPECT_STREQ(b, "12345678");
  EXPECT_EQ(s.Position(), big);
  EXPECT_EQ(s.Seek((int64_t{1} << 32) + 1, platform::soFromBeginning), (int64_t{1} << 32) + 1);
  s.ReadBuffer(b, 1);
  EXPECT_EQ(b[0], 0);
}

// ---- The framework's streams ---------------------------------------------------------------

TEST(MemoryStream, ExactTransfersAndSeeking) {
  TMemoryStream m;
  m.Seek(5, platform::soFromBeginning);
  m.WriteBuffer("ab", 2);
  EXPECT_EQ(m.Size(), 7);
  EXPECT_EQ(m.Bytes(), (std::vector<uint8_t>{0, 0, 0, 0, 0, 'a', 'b'}));
  EXPECT_THROW_MSG(m.Seek(-1, platform::soFromBeginning), EStreamError, "Seek error");
  EXPECT_THROW_MSG(m.Seek(0, 7), EStreamError, "Invalid seek origin (7)");
  m.SetPosition(4);
  char b[4];
  EXPECT_THROW_MSG(m.ReadBuffer(b, 4), platform::EReadError, "Stream read error");
  m.SetSize(2);
  EXPECT_EQ(m.Position(), 2);
  TMemoryStream copy;
  EXPECT_EQ(copy.CopyFrom(m, 0), 2);
  EXPECT_EQ(copy.Size(), 2);
}

TEST_F(ScratchTest, HandleStreamReportsHostFailures) {
  // A read the operating system refuses is an error, not the end of the data.
  const int dirHandle = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dirHandle, 0);
  {
    platform::THandleStream s(dirHandle);
    char b[4];
    EXPECT_THROW(s.Read(b, 4), platform::EInOutError);
  }
  ::close(dirHandle);
  // A write to a file opened for reading takes nothing, and the exact write says so.
  WriteFile(Path("ro.bin"), Pattern(10));
  platform::TFileStream ro(Path("ro.bin"), platform::fmOpenRead);
  EXPECT_EQ(ro.Write("abc", 3), 0);
  EXPECT_THROW_MSG(ro.WriteBuffer("abc", 3), platform::EWriteError, "Stream write error");
  // And through the buffer: the flush fails, the write is reported.
  unzip::TLFNFileStream buffered(Path("ro.bin"), unzip::fmPlainRead);
  buffered.WriteBuffer("abc", 3);
  EXPECT_THROW(buffered.Flush(), platform::EWriteError);
  EXPECT_EQ(ReadFile(Path("ro.bin")), Pattern(10));
}

TEST_F(ScratchTest, HandleStreamKeepsTheKernelsPosition) {
  WriteFile(Path("p.bin"), Pattern(100));
  const int h = ::open(Path("p.bin").c_str(), O_RDWR);
  ASSERT_GE(h, 0);
  ASSERT_EQ(::lseek(h, 10, SEEK_SET), 10);
  {
    platform::THandleStream s(h);  // a handle already moved: its place is taken over
    EXPECT_EQ(s.Position(), 10);
    char b[5];
    s.ReadBuffer(b, 5);
    EXPECT_EQ(s.Position(), 15);
    s.WriteBuffer("abc", 3);
    EXPECT_EQ(s.Position(), 18);
    EXPECT_EQ(::lseek(h, 0, SEEK_CUR), 18);
    EXPECT_EQ(s.Seek(-8, platform::soFromCurrent), 10);
    EXPECT_EQ(s.Seek(0, platform::soFromEnd), 100);
    EXPECT_EQ(s.Seek(18, platform::soFromBeginning), 18);
    EXPECT_EQ(::lseek(h, 0, SEEK_CUR), 18);
    EXPECT_THROW_MSG(s.Seek(-19, platform::soFromCurrent), EStreamError, "Seek error");
    EXPECT_EQ(s.Position(), 18);
  }
  ::close(h);
  // Appending moves the handle to the end on every write: the stream asks, and so knows.
  const int a = ::open(Path("p.bin").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(a, 0);
  {
    platform::THandleStream s(a);
    EXPECT_EQ(s.Position(), 0);
    s.WriteBuffer("xy", 2);
    EXPECT_EQ(s.Position(), 102);
  }
  ::close(a);
  // A pipe has no place: asking still fails as before.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    platform::THandleStream s(fds[0]);
    EXPECT_THROW_MSG(s.Position(), EStreamError, "Seek error");
  }
  ::close(fds[0]);
  ::close(fds[1]);
}

// ---- Messages ------------------------------------------------------------------------------

TEST(ResourceMessage, StreamTableTexts) {
  EXPECT_EQ(unzip::ResourceMessage("S_Stream", 1), "Seek error");
  EXPECT_EQ(unzip::ResourceMessage("S_Stream", 2), "Invalid seek origin (%d)");
  EXPECT_EQ(unzip::ResourceMessage("S_Stream", 3), "Putback overflow");
  EXPECT_EQ(unzip::ResourceMessage("S_STREAM", 7), "Cannot write to a resource stream");
  EXPECT_EQ(unzip::ResourceMessage("s_stream", 42), "");
  EXPECT_EQ(unzip::ResourceMessage("S_STREAM", 0), "");
  EXPECT_EQ(unzip::ResourceMessage("S_STREAM", -1), "");
  EXPECT_THROW_MSG(unzip::ResourceMessage("S_NOPE", 1), platform::Exception, "No such string resource: S_NOPE");
}

TEST(ResourceMessage, DamagedTablesEndTheWalkInsideTheirData) {
  // Entry 1 is whole; entry 2 claims 200 bytes that are not there, and no terminator follows.
  static const unsigned char damaged[] = {1, 0, 2, 'o', 'k', 2, 0, 200, 'x', 'y'};
  static const unsigned char noEnd[] = {1, 0, 1, 'z'};
  static const platform::TResourceEntry tables[] = {
      {"T_DAMAGED", "S_STRINGTABLE", damaged, sizeof damaged},
      {"T_NOEND", "S_STRINGTABLE", noEnd, sizeof noEnd},
      {"T_NODATA", "S_STRINGTABLE", nullptr, 0},
      {"T_OTHERTYPE", "RCDATA", damaged, sizeof damaged},
  };
  platform::RegisterResources(tables, 4);
  EXPECT_EQ(unzip::ResourceMessage("T_DAMAGED", 1), "ok");
  EXPECT_EQ(unzip::ResourceMessage("T_DAMAGED", 2), "");
  EXPECT_EQ(unzip::ResourceMessage("T_DAMAGED", 3), "");
  EXPECT_EQ(unzip::ResourceMessage("T_NOEND", 1), "z");
  EXPECT_EQ(unzip::ResourceMessage("T_NOEND", 2), "");
  EXPECT_THROW(unzip::ResourceMessage("T_NODATA", 1), platform::EOutOfResources);
  EXPECT_THROW_MSG(unzip::ResourceMessage("T_OTHERTYPE", 1), platform::Exception,
                   "No such string resource: T_OTHERTYPE");
}
