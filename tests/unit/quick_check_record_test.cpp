#include "format/index/quick_check_record.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

const PayloadIdentity PAYLOAD = {0x1234ABCD, 3};
const uint64_t READ_TIME = uint64_t{133790112000000000};

std::vector<unsigned char> sealedRecord() {
    std::vector<unsigned char> record(quickCheckRecordSize(PAYLOAD.count));
    for (size_t k = 0; k < PAYLOAD.count; ++k) {
        putRecordedFile(record.data(), k, {1000 + k, READ_TIME - 50000000 * (k + 1), 77 + k, 9});
    }
    sealQuickCheckRecord(record.data(), PAYLOAD, READ_TIME);
    return record;
}

TEST(QuickCheckRecord, OpensOnlyWholeRecordsOfTheSamePayload) {
    using Damage = std::function<void(std::vector<unsigned char> &)>;
    struct Case {
        const char *what;
        Damage damage;
        PayloadIdentity identity;
        bool opens;
    } cases[] = {
        {"intact", [](auto &) {}, PAYLOAD, true},
        {"a damaged entry byte", [](auto &r) { r[40] ^= 0x10; }, PAYLOAD, false},
        {"a damaged read time", [](auto &r) { r[24] ^= 0x01; }, PAYLOAD, false},
        {"a damaged magic", [](auto &r) { r[0] = 'X'; }, PAYLOAD, false},
        {"another payload", [](auto &) {}, {PAYLOAD.indexCrc ^ 1, PAYLOAD.count}, false},
        {"another entry count", [](auto &) {}, {PAYLOAD.indexCrc, PAYLOAD.count + 1}, false},
        {"truncated", [](auto &r) { r.resize(r.size() - 1); }, PAYLOAD, false},
        {"a byte beyond", [](auto &r) { r.push_back(0); }, PAYLOAD, false},
        {"header only", [](auto &r) { r.resize(QUICK_CHECK_HEADER_SIZE); }, PAYLOAD, false},
    };
    for (const Case &c : cases) {
        std::vector<unsigned char> record = sealedRecord();
        c.damage(record);
        uint64_t readTime = 0;
        EXPECT_EQ(openQuickCheckRecord(record.data(), record.size(), c.identity, &readTime),
                  c.opens)
            << c.what;
        if (c.opens) {
            EXPECT_EQ(readTime, READ_TIME);
            FileMetadata file = recordedFile(record.data(), 2);
            EXPECT_EQ(file.size, 1002u);
            EXPECT_EQ(file.fileId, 79u);
            EXPECT_EQ(file.volume, 9u);
        }
    }
}

TEST(QuickCheckRecord, AFileIsUnchangedOnlyWithAllItsMetadataAndOutsideTheRacyWindow) {
    const FileMetadata recorded = {10, READ_TIME - QUICK_CHECK_RACY_WINDOW, 5, 3};
    struct Case {
        const char *what;
        FileMetadata found;
        bool unchanged;
    } cases[] = {
        {"the same, just outside the window", recorded, true},
        {"another size", {11, recorded.lastWrite, 5, 3}, false},
        {"another last-write time", {10, recorded.lastWrite - 1, 5, 3}, false},
        {"another file id", {10, recorded.lastWrite, 6, 3}, false},
        {"another volume", {10, recorded.lastWrite, 5, 4}, false},
        {"not seen", NO_FILE_METADATA, false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(fileIsUnchanged(recorded, c.found, READ_TIME), c.unchanged) << c.what;
    }
    // Written within the window before the read, or after it: racy.
    for (uint64_t lastWrite : {READ_TIME - QUICK_CHECK_RACY_WINDOW + 1, READ_TIME,
                               READ_TIME + QUICK_CHECK_RACY_WINDOW}) {
        FileMetadata racy = {10, lastWrite, 5, 3};
        EXPECT_FALSE(fileIsUnchanged(racy, racy, READ_TIME)) << lastWrite;
    }
}

} // namespace
