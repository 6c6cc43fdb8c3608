#include "paths/random_text.h"

// Unpadded URL-safe base64: the text goes into paths and environment values.
static const char RANDOM_TEXT_ALPHABET[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

void formatRandomText(uint32_t state, char text[RANDOM_TEXT_LENGTH + 1]) {
    uint32_t x = state != 0 ? state : 1;
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bits = (bits << 8) | (x & 0xFF);
    }
    // 64 bits make ten full six-bit groups; the eleventh is the low four bits
    // followed by two zero bits.
    for (int i = 0; i < RANDOM_TEXT_LENGTH - 1; ++i) {
        text[i] = RANDOM_TEXT_ALPHABET[(bits >> (58 - 6 * i)) & 63];
    }
    text[RANDOM_TEXT_LENGTH - 1] = RANDOM_TEXT_ALPHABET[(bits << 2) & 63];
    text[RANDOM_TEXT_LENGTH] = 0;
}
