// SPDX-License-Identifier: Apache-2.0
#include "Common/T_GenericStreamRO.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "Common/T_StreamRef.h"
#include "StreamTestSupport.h"

namespace {

class GenericStreamRO : public ::testing::Test {
 protected:
  void SetUp() override { TSlotError::Clear(); }
  void TearDown() override { TSlotError::Clear(); }

  const std::vector<uint8_t> Data = Pattern(100);
  TStreamRef Holder{TGenericStreamRO::Create(Data.data(), 100)};
  IGenericStream* S = Holder.Get();
};

}  // namespace

TEST_F(GenericStreamRO, ReadStopsAtTheEnd) { ExpectReadsStopAtTheEnd(S); }

TEST_F(GenericStreamRO, ANegativeCountReadsTheRest) {
  std::vector<uint8_t> buffer(100);
  S->SetPos(60);
  EXPECT_EQ(S->Read(buffer.data(), -1), 40);
  EXPECT_EQ(S->GetPos(), 100);
}

TEST_F(GenericStreamRO, NothingIsReadBeforeTheView) {
  std::vector<uint8_t> buffer(100, 0xEE);
  S->SetPos(-5);
  EXPECT_EQ(S->GetPos(), -5);
  EXPECT_EQ(S->Read(buffer.data(), 10), 0);
  S->SetPos(std::numeric_limits<int32_t>::min());
  EXPECT_EQ(S->Read(buffer.data(), 10), 0);
  EXPECT_EQ(buffer, std::vector<uint8_t>(100, 0xEE));
}

TEST_F(GenericStreamRO, ViewsOfOneMemoryKeepTheirOwnPositions) {
  TStreamRef other(TGenericStreamRO::Create(Data.data(), 100));
  uint8_t a = 0, b = 0;
  S->SetPos(10);
  EXPECT_EQ(S->Read(&a, 1), 1);
  EXPECT_EQ(other.Read(&b, 1), 1);
  EXPECT_EQ(a, Data[10]);
  EXPECT_EQ(b, Data[0]);
}

