// SPDX-License-Identifier: Apache-2.0
// SHA-256 (FIPS 180-4) of a byte string, as 64 lower-case hexadecimal
// digits: the identity of a file a report names. Pure; any thread.
#pragma once

#include <string>
#include <string_view>

std::string Sha256Hex(std::string_view data);
