/* A main library whose export calls into its companion (tasklib_part). */
#include <stdint.h>

int32_t PartValue(void);

int32_t MainValue(void) { return PartValue() + 1; }
