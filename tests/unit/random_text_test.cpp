#include "paths/random_text.h"

#include <gtest/gtest.h>

#include <string>

static std::string randomText(uint32_t state) {
    char text[RANDOM_TEXT_LENGTH + 1];
    formatRandomText(state, text);
    return text;
}

// Expected texts come from Python's base64.urlsafe_b64encode over the same
// xorshift bytes, so both the generator and the encoder are checked.
TEST(RandomText, MatchesIndependentBase64Encoding) {
    EXPECT_EQ(randomText(1), "IQHFT9HQGrI");
    EXPECT_EQ(randomText(2), "QgKCBhojWbY");
    EXPECT_EQ(randomText(0x12345678), "paPEmIhNHSk");
    EXPECT_EQ(randomText(0x80000000), "AIRIlEGeIMI");
    // Exercises the URL-safe "_" and the top bit of the state.
    EXPECT_EQ(randomText(0xFFFFFFFF), "H_9D2pHssPs");
}

TEST(RandomText, ZeroStateIsTakenAsOne) {
    EXPECT_EQ(randomText(0), randomText(1));
}

TEST(RandomText, IsElevenUrlSafeUnitsEndingInTwoZeroBits) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    uint32_t state = 1;
    for (int i = 0; i < 10000; ++i, state = state * 2654435761u + 12345) {
        std::string text = randomText(state);
        ASSERT_EQ(text.size(), 11u) << state;
        for (char unit : text) {
            ASSERT_NE(alphabet.find(unit), std::string::npos) << state;
        }
        // The last group holds only four data bits.
        EXPECT_EQ(alphabet.find(text.back()) % 4, 0u) << state;
    }
}
