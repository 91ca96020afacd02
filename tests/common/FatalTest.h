#ifndef TESTS_COMMON_FATALTEST_H
#define TESTS_COMMON_FATALTEST_H

// Fatal errors print their text on standard output and end the process with
// a failure status. GoogleTest's death tests read standard error, so the
// child of the death test sends its standard output there first.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#define EXPECT_FATAL(statement, text)                                         \
  EXPECT_EXIT(                                                                \
      {                                                                       \
        std::fflush(stdout);                                                  \
        ::dup2(2, 1);                                                         \
        statement;                                                            \
      },                                                                      \
      ::testing::ExitedWithCode(EXIT_FAILURE), text)

#endif  // TESTS_COMMON_FATALTEST_H
