#pragma once
// Checks the message of a raised exception, not only its type: the texts are the system's own.
#include <gtest/gtest.h>

#define EXPECT_THROW_MSG(stmt, type, text)         \
  do {                                             \
    try {                                          \
      stmt;                                        \
      ADD_FAILURE() << "no exception from " #stmt; \
    } catch (const type& e) {                      \
      EXPECT_EQ(e.Message, text);                  \
    }                                              \
  } while (0)
