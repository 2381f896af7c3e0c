#include <gtest/gtest.h>

#include "Exceptions.h"

using platform::EInOutError;

TEST(InOutError, RuntimeTextsForKnownAndUnknownCodes) {
  EXPECT_EQ(platform::InOutErrorText(2), "File not found");
  EXPECT_EQ(platform::InOutErrorText(5), "File access denied");
  EXPECT_EQ(platform::InOutErrorText(103), "I/O error 103");
  try {
    platform::RaiseInOutError(5);
    FAIL() << "no exception";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, 5);
    EXPECT_STREQ(e.what(), "File access denied");
  }
}

TEST(InOutError, HostErrnoMapsToRuntimeCodes) {
  EXPECT_EQ(platform::RuntimeErrorFromErrno(ENOENT), 2);
  EXPECT_EQ(platform::RuntimeErrorFromErrno(EACCES), 5);
  EXPECT_EQ(platform::RuntimeErrorFromErrno(EIO), EIO);
}
