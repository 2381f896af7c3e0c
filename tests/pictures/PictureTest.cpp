#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QImage>
#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <jpeglib.h>
}

#include "Jpeg.h"
#include "Picture.h"

namespace fs = std::filesystem;
using pictures::EInvalidGraphic;
using pictures::TPicture;

namespace {

// A JPEG made here with libjpeg: a red left half and a blue right half.
std::string MakeJpeg(int w, int h, int components, bool progressive = false) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = static_cast<JDIMENSION>(w);
  c.image_height = static_cast<JDIMENSION>(h);
  c.input_components = components;
  c.in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 95, TRUE);
  if (progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  std::vector<unsigned char> row(static_cast<size_t>(w * components));
  while (c.next_scanline < c.image_height) {
    for (int x = 0; x < w; ++x) {
      if (components == 3) {
        row[3 * x] = x < w / 2 ? 255 : 0;
        row[3 * x + 1] = 0;
        row[3 * x + 2] = x < w / 2 ? 0 : 255;
      } else {
        row[x] = x < w / 2 ? 40 : 200;
      }
    }
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::string bytes(reinterpret_cast<char*>(out), size);
  std::free(out);
  return bytes;
}

std::string MakeBitmap(int w, int h) {
  QImage image(w, h, QImage::Format_RGB32);
  image.fill(QColor(10, 200, 30));
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "BMP");
  return bytes.toStdString();
}

class PictureTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { pictures::RegisterJpeg(); }
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quorbin-pictures-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string Write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir / name, std::ios::binary) << bytes;
    return (dir / name).string();
  }
  // The message of the EInvalidGraphic that loading `name` raises ("" when none).
  std::string LoadError(const std::string& name) {
    TPicture p;
    try {
      p.LoadFromFile(name);
    } catch (const EInvalidGraphic& e) {
      return e.Message;
    }
    return "";
  }
  fs::path dir;
};

}  // namespace

TEST_F(PictureTest, JpegIsRegisteredForBothExtensionsUnderItsDescription) {
  EXPECT_EQ(TPicture::FileFormatDescription("jpg"), "JPEG Image File");
  EXPECT_EQ(TPicture::FileFormatDescription("JPEG"), "JPEG Image File");
  EXPECT_EQ(TPicture::FileFormatDescription("gif"), "");
}

TEST_F(PictureTest, DecodersAreChosenByExtension) {
  TPicture p;
  p.LoadFromFile(Write("shot.BMP", MakeBitmap(40, 30)));
  EXPECT_EQ(p.Width(), 40);
  EXPECT_EQ(QColor(p.Image().pixel(5, 5)), QColor(10, 200, 30));

  p.LoadFromFile(Write("colour.jpg", MakeJpeg(64, 32, 3)));
  ASSERT_EQ(p.Width(), 64);
  ASSERT_EQ(p.Height(), 32);
  const QColor left(p.Image().pixel(8, 16)), right(p.Image().pixel(56, 16));
  EXPECT_GT(left.red(), 200);
  EXPECT_LT(left.blue(), 60);
  EXPECT_GT(right.blue(), 200);
  EXPECT_LT(right.red(), 60);

  p.LoadFromFile(Write("grey.jpeg", MakeJpeg(16, 16, 1)));
  EXPECT_EQ(p.Width(), 16);
  EXPECT_NEAR(qGray(p.Image().pixel(2, 2)), 40, 6);

  p.LoadFromFile(Write("prog.jpg", MakeJpeg(33, 17, 3, true)));
  EXPECT_EQ(p.Height(), 17);

  // The extension decides, not the content: a bitmap named .jpg is no JPEG, and back.
  EXPECT_NE(LoadError(Write("bitmap.jpg", MakeBitmap(8, 8))), "");
  EXPECT_NE(LoadError(Write("jpeg.bmp", MakeJpeg(8, 8, 3))), "");
}

TEST_F(PictureTest, UndecodableFilesRaiseClearErrors) {
  const std::string jpeg = MakeJpeg(48, 48, 3);
  EXPECT_NE(LoadError(Write("empty.jpg", "")).find("empty.jpg"), std::string::npos);
  EXPECT_NE(LoadError(Write("text.jpg", "hello, not a picture")).find("JPEG error"), std::string::npos);
  EXPECT_NE(LoadError(Write("text.bmp", "BM but not really")).find("not a valid Windows bitmap"), std::string::npos);
  // A bitmap that ends before its last rows, not a picture of leftover memory.
  const std::string bmp = MakeBitmap(40, 30);
  EXPECT_NE(LoadError(Write("cut.bmp", bmp.substr(0, bmp.size() - 7))).find("ends before its pixel data"), std::string::npos);
  // Cut short anywhere: an error, never a crash and never a half-grey picture.
  for (size_t n = 1; n < jpeg.size(); n += 37) EXPECT_NE(LoadError(Write("cut.jpg", jpeg.substr(0, n))), "") << n;
  // Bytes flipped in the entropy-coded data and in the headers: no crash, whatever the verdict.
  for (size_t i = 2; i < jpeg.size(); i += 53) {
    std::string bad = jpeg;
    bad[i] = static_cast<char>(bad[i] ^ 0x5A);
    TPicture p;
    try {
      p.LoadFromFile(Write("flip.jpg", bad));
    } catch (const EInvalidGraphic&) {
    }
  }
}

TEST_F(PictureTest, HostileDimensionsAreRefusedBeforeAnythingIsAllocated) {
  std::string jpeg = MakeJpeg(16, 16, 3);
  // Patch the frame header (SOF0: FF C0, length, precision, height, width) to 60000 x 60000.
  const size_t sof = jpeg.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  jpeg[sof + 5] = jpeg[sof + 7] = static_cast<char>(0xEA);
  jpeg[sof + 6] = jpeg[sof + 8] = static_cast<char>(0x60);
  EXPECT_NE(LoadError(Write("huge.jpg", jpeg)).find("too large"), std::string::npos);
  // A file far bigger than any picture is refused without being read (a sparse file here).
  {
    std::ofstream big(dir / "big.bmp", std::ios::binary);
    big << "BM";
    big.seekp(300ll * 1024 * 1024);
    big << 'x';
  }
  EXPECT_NE(LoadError((dir / "big.bmp").string()).find("file too large"), std::string::npos);
}

TEST_F(PictureTest, UnknownExtensionsAndMissingFiles) {
  EXPECT_EQ(LoadError(Write("anim.gif", "GIF89a")), "Unknown picture file extension (.gif): " + (dir / "anim.gif").string());
  EXPECT_NE(LoadError(Write("noext", "x")).find("Unknown picture file extension"), std::string::npos);
  TPicture p;
  EXPECT_THROW(p.LoadFromFile((dir / "missing.bmp").string()), platform::EFOpenError);
  // A named pipe is refused at once, not waited on.
  ASSERT_EQ(::mkfifo((dir / "pipe.bmp").c_str(), 0600), 0);
  EXPECT_THROW(p.LoadFromFile((dir / "pipe.bmp").string()), platform::EFOpenError);
}

TEST_F(PictureTest, FailedLoadKeepsTheOldPicture) {
  TPicture p;
  p.LoadFromFile(Write("good.bmp", MakeBitmap(12, 9)));
  const qint64 key = p.Image().cacheKey();
  EXPECT_THROW(p.LoadFromFile(Write("bad.bmp", "junk")), EInvalidGraphic);
  EXPECT_EQ(p.Image().cacheKey(), key);
  EXPECT_EQ(p.Width(), 12);
}

TEST_F(PictureTest, CommittedBackgroundIsTheBaselineJpegTheWindowNeeds) {
  const fs::path bg = fs::path(QUORBIN_SOURCE_DIR) / "app" / "resources" / "background.jpg";
  std::ifstream in(bg, std::ios::binary);
  ASSERT_TRUE(in) << bg;
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string bytes = ss.str();
  EXPECT_GT(bytes.size(), 45000u);
  EXPECT_LT(bytes.size(), 80000u);
  // Baseline: a SOF0 frame, and neither progressive (SOF2) nor extended ones.
  const size_t sof = bytes.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  EXPECT_EQ(bytes.find("\xFF\xC2"), std::string::npos);
  EXPECT_EQ(static_cast<unsigned char>(bytes[sof + 9]), 3u) << "three colour components";
  TPicture p;
  p.LoadFromFile(bg.string());
  EXPECT_EQ(p.Width(), 699);
  EXPECT_EQ(p.Height(), 513);
}
