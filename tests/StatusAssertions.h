// SPDX-License-Identifier: Apache-2.0
// Assertions on a TStatus that print its text when it failed:
// EXPECT_OK(files.WriteFile(...)) reports "cannot write /x/y: No space left
// on device" instead of "false".
#pragma once

#include <gtest/gtest.h>

#include "Platform/T_Status.h"

inline ::testing::AssertionResult IsOk(const TStatus& status) {
  if (status.Ok()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "failed: " << status.Text();
}

#define EXPECT_OK(expression) EXPECT_TRUE(IsOk(expression))
#define ASSERT_OK(expression) ASSERT_TRUE(IsOk(expression))
