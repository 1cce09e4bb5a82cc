// SPDX-License-Identifier: Apache-2.0
// Compiled by the layer checks as a unit of a lower layer. The first header
// (KELVRA_OWN_HEADER, of that layer, and through it those below) must be
// found; the second (KELVRA_UPPER_HEADER, of a layer above) must not: the
// compile has to stop there, because that layer's include root is not in
// sight.
#include KELVRA_OWN_HEADER
#include KELVRA_UPPER_HEADER

int main() { return 0; }
