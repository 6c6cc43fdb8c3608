// Finds and reads the attached data block inside an existing file, without
// running it and without assuming the file is a launcher.
//
// A block is recognised by its magic immediately followed by the zstd frame
// magic; a candidate counts only when the frame's block structure runs to a
// clean end inside the file and the 8-byte trailer at the next multiple of 8
// after the frame holds its own offset. The first such candidate in file
// order is the block (a launcher packed into another launcher's payload sits
// after the outer block's magic). Decoding is streamed: nothing holds more
// than one input and one output buffer of the decoder.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace tallix {

// The block is there but cannot be read back (a frame the decoder rejects,
// a record that runs past the frame, a name that is too long).
class DamagedBlockError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct BlockLocation {
    std::uint64_t offset = 0;     // of the magic, from the start of the file
    std::uint64_t frameBytes = 0; // the zstd frame alone
    std::uint64_t blockBytes = 0; // magic through trailer
    std::uint64_t windowSize = 0; // declared by the frame header
};

// The first block in `in`, or nullopt when the file holds none; then
// `cutShort`, when given, tells whether a block's frame header is there but
// its frame or trailer runs past the end of the file (a launcher cut short,
// not some other file). Throws std::runtime_error when the file cannot be
// read.
std::optional<BlockLocation> locateAttachedData(std::istream &in, bool *cutShort = nullptr);

struct EntryHeader {
    std::u16string name;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
};

using ContentSink = std::function<void(const unsigned char *data, std::size_t length)>;

// Reads the record stream of a located block, front to back.
class RecordReader {
  public:
    RecordReader(std::istream &in, const BlockLocation &where);
    ~RecordReader();
    RecordReader(const RecordReader &) = delete;
    RecordReader &operator=(const RecordReader &) = delete;

    // The next record's header, or nullopt at the end marker. Content the
    // caller did not read is skipped. Throws DamagedBlockError.
    std::optional<EntryHeader> next();

    // Delivers the content of the record just returned by next(), in pieces.
    void readContent(const ContentSink &sink);

    // After the end marker: the number of decoded bytes that follow it (the
    // launcher never reads them; a well-formed block has none).
    std::uint64_t bytesAfterEndMarker();

  private:
    struct Decoder;
    std::unique_ptr<Decoder> decoder_;
    std::uint64_t unreadContent_ = 0;
};

// The crc field a writer stores for content whose CRC-32 is `crc`: the
// launcher's file checksum reports 1 for a computed 0 (0 means "no file").
inline std::uint32_t storedCrcFor(std::uint32_t crc) {
    return crc == 0 ? 1 : crc;
}

} // namespace tallix
