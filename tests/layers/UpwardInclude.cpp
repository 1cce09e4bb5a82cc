// Compiled by the layer checks as a unit of a lower layer that includes a
// header of a layer above (KELVRA_UPPER_HEADER): the compile must stop at
// the include, because that layer's include root is not in sight.
#include KELVRA_UPPER_HEADER

int main() { return 0; }
