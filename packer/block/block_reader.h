// Reads the attached data block (format/attached_data.h) at the place a
// launcher's constants section gives, or at the start of a bare block file
// as `tallix-pack block` writes it. Decoding is streamed: nothing holds
// more than one input and one output buffer of the decoder.
#pragma once

#include "format/branch_filter.h"

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tallix {

// The block is not one or cannot be read back (no magic, no zstd frame, frames
// that do not end right before the trailer, a trailer that does not hold its
// own offset, a frame the decoder rejects, a record that runs past the last
// frame or a frame that ends inside a record, a name that is too long).
class DamagedBlockError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The file cannot be read where the block lies.
class BlockReadError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct BlockLocation {
    std::uint64_t offset = 0;               // of the magic, from the start of the file
    std::vector<std::uint64_t> frameStarts; // from the magic, ascending
    std::uint64_t frameBytes = 0;           // the zstd frames alone
    std::uint64_t blockBytes = 0;           // magic through trailer
    std::uint64_t windowSize = 0;           // the largest a frame header declares
};

// The block of `size` bytes at `offset` in `in`, checked: the magic, zstd
// frames one after the other up to the padding before the trailer, and the
// trailer. Throws
// DamagedBlockError when they are not a block's, BlockReadError when the
// file cannot be read.
BlockLocation checkAttachedData(std::istream &in, std::uint64_t offset, std::uint64_t size);

// True when `in` starts with the block's magic: a bare block file.
bool startsWithAttachedData(std::istream &in);

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
    // caller did not read is skipped. Throws DamagedBlockError and
    // BlockReadError, as every member does.
    std::optional<EntryHeader> next();

    // Delivers the content of the record just returned by next(), in pieces;
    // with `filter`, the branch filter undone in that range first
    // (format/branch_filter.h), as a launcher writes it.
    void readContent(const ContentSink &sink, const BranchFilterRange *filter = nullptr);

    // After the end marker: the number of decoded bytes that follow it (the
    // launcher never reads them; a well-formed block has none). Throws
    // DamagedBlockError when a frame ended inside a record or the end
    // marker, which a launcher decoding frames apart cannot read.
    std::uint64_t bytesAfterEndMarker();

    // After bytesAfterEndMarker(): the number of the record each frame
    // begins with, in block order (the first frame's is 0).
    const std::vector<std::size_t> &frameFirstRecords() const { return frameFirstRecords_; }

  private:
    struct Decoder;
    std::unique_ptr<Decoder> decoder_;
    std::uint64_t unreadContent_ = 0;
    std::vector<std::uint64_t> recordStarts_; // in the record stream
    std::vector<std::size_t> frameFirstRecords_;
};

} // namespace tallix
