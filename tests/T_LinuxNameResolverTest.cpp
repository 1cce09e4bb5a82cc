// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_LinuxNameResolver.h"

#include <gtest/gtest.h>

#include "Platform/T_TcpSocket.h"
#include "TestSupport.h"

// Only dotted texts reach the real resolver here: a real host name would
// query a resolver off this machine.
TEST(TLinuxNameResolver, ADottedAddressResolvesToItselfWithoutALookUp) {
  TLinuxNameResolver real;
  uint32_t address = 0;
  ASSERT_OK(real.ResolveIPv4("127.0.0.1", address));
  EXPECT_EQ(TTcpSocket::AddressText(address), "127.0.0.1");

  TFakeNameResolver fake;
  ASSERT_OK(fake.ResolveIPv4("192.168.1.20", address));
  EXPECT_EQ(TTcpSocket::AddressText(address), "192.168.1.20");
  EXPECT_EQ(fake.LookUps.load(), 0);
}

TEST(TLinuxNameResolver, NamesGoToTheLookUpAndAnUnknownOneIsUnreachable) {
  TFakeNameResolver fake;
  fake.Hosts["coordinator"] = "10.1.2.3";
  uint32_t address = 0;
  ASSERT_OK(fake.ResolveIPv4("coordinator", address));
  EXPECT_EQ(TTcpSocket::AddressText(address), "10.1.2.3");
  const TStatus unresolved = fake.ResolveIPv4("no-such-host", address);
  EXPECT_EQ(unresolved.Code(), EHOSTUNREACH);
  EXPECT_EQ(unresolved.Text(), "cannot resolve \"no-such-host\": No route to host");
  EXPECT_EQ(fake.ResolveIPv4("", address).Code(), EHOSTUNREACH);
  EXPECT_EQ(fake.LookUps.load(), 3);
}
