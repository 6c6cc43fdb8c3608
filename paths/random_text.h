// The 11-character text of the {RANDOM} placeholder, from a 32-bit state.
#pragma once

#include <stdint.h>

// The text's length without its terminator.
enum { RANDOM_TEXT_LENGTH = 11 };

// Runs eight xorshift steps (13, 17, 5) on `state` (0 is taken as 1), keeps
// the low byte of each, and writes the eight bytes as unpadded URL-safe
// base64 plus a NUL into `text`. State 1 gives "IQHFT9HQGrI".
void formatRandomText(uint32_t state, char text[RANDOM_TEXT_LENGTH + 1]);
