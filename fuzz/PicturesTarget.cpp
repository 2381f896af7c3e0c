// The picture loader on arbitrary .bmp and .jpg files. Input: byte 0 chooses the extension
// (bit 0: "jpg", else "bmp"; bit 1 loads through a file instead of from memory), the rest is
// the file. A file that is no picture must end in EInvalidGraphic and leave the picture as
// it was; one that loads gives a picture with a size.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "Jpeg.h"
#include "Picture.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzzsupport::Sandbox sandbox;
  static const bool registered = (pictures::RegisterJpeg(), true);
  (void)registered;
  if (size < 1) return 0;
  const bool jpeg = data[0] & 1;
  const std::string name = sandbox.Root() + (jpeg ? "/shot.jpg" : "/shot.bmp");

  pictures::TPicture picture;
  try {
    if (data[0] & 2) {
      fuzzsupport::WriteWhole(name, data + 1, size - 1);
      picture.LoadFromFile(name);
    } else {
      picture.LoadFromData(data + 1, size - 1, name);
    }
    REQUIRE(!picture.Empty() && picture.Width() > 0 && picture.Height() > 0);
  } catch (const pictures::EInvalidGraphic&) {
    REQUIRE(picture.Empty());  // a failed load keeps what the picture held: nothing
  }
  return 0;
}
