#include "packer/block/block_reader.h"

#include "format/attached_data.h"
#include "packer/support/byte_reading.h"

#include <zstd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace tallix {
namespace {

// "QVZ" then the zstd frame magic 0xFD2FB528 (little-endian).
constexpr std::array<unsigned char, 7> CANDIDATE_PATTERN = {'Q', 'V', 'Z', 0x28, 0xB5, 0x2F, 0xFD};
// How much of the file the scan reads at a time.
constexpr std::size_t SCAN_CHUNK = 1 << 20;
// Largest zstd block, compressed or not.
constexpr std::uint64_t ZSTD_MAX_BLOCK = 128 * 1024;
constexpr std::uint64_t ZSTD_FRAME_MAGIC_SIZE = 4;
constexpr std::uint64_t ZSTD_BLOCK_HEADER_SIZE = 3;
constexpr std::uint64_t ZSTD_CHECKSUM_SIZE = 4;
// Frame header after the magic: descriptor, window byte, dictionary id, content size.
constexpr std::size_t ZSTD_HEADER_MAX_AFTER_MAGIC = 1 + 1 + 4 + 8;

struct FrameHeader {
    std::uint64_t headerBytes = 0; // magic included
    std::uint64_t windowSize = 0;
    bool checksum = false;
};

// Parses the frame header that starts at `frame` (its magic already matched).
std::optional<FrameHeader> readFrameHeader(std::istream &in, std::uint64_t frame) {
    unsigned char bytes[ZSTD_HEADER_MAX_AFTER_MAGIC] = {};
    if (!readAt(in, frame + ZSTD_FRAME_MAGIC_SIZE, bytes, 1)) {
        return std::nullopt;
    }
    unsigned descriptor = bytes[0];
    if ((descriptor & 0x08) != 0) { // reserved bit
        return std::nullopt;
    }
    bool singleSegment = (descriptor & 0x20) != 0;
    static const int dictionaryIdBytes[4] = {0, 1, 2, 4};
    static const int contentSizeBytes[4] = {0, 2, 4, 8};
    int dictionaryBytes = dictionaryIdBytes[descriptor & 3];
    int sizeBytes = contentSizeBytes[descriptor >> 6];
    if (sizeBytes == 0 && singleSegment) {
        sizeBytes = 1;
    }
    int windowBytes = singleSegment ? 0 : 1;
    std::size_t rest = static_cast<std::size_t>(windowBytes + dictionaryBytes + sizeBytes);
    if (!readAt(in, frame + ZSTD_FRAME_MAGIC_SIZE + 1, bytes, rest)) {
        return std::nullopt;
    }
    FrameHeader header;
    header.headerBytes = ZSTD_FRAME_MAGIC_SIZE + 1 + rest;
    header.checksum = (descriptor & 0x04) != 0;
    if (singleSegment) {
        std::uint64_t contentSize = readLittleEndian(bytes + dictionaryBytes, sizeBytes);
        if (sizeBytes == 2) {
            contentSize += 256;
        }
        header.windowSize = contentSize;
    } else {
        unsigned exponent = (bytes[0] >> 3) + 10;
        std::uint64_t base = std::uint64_t{1} << exponent;
        header.windowSize = base + (base / 8) * (bytes[0] & 7);
    }
    return header;
}

// Follows the frame's block headers; the frame's length, or nullopt when the
// structure is not a frame's (a reserved block type, an oversized block, the
// end of the file before the last block: then `cutShort` is set).
std::optional<std::uint64_t> measureFrame(std::istream &in, std::uint64_t frame,
                                          const FrameHeader &header, bool &cutShort) {
    std::uint64_t blockLimit = std::min(header.windowSize, ZSTD_MAX_BLOCK);
    std::uint64_t position = frame + header.headerBytes;
    for (;;) {
        unsigned char bytes[ZSTD_BLOCK_HEADER_SIZE];
        if (!readAt(in, position, bytes, sizeof bytes)) {
            cutShort = true;
            return std::nullopt;
        }
        std::uint64_t blockHeader = readLittleEndian(bytes, 3);
        bool last = (blockHeader & 1) != 0;
        unsigned type = (blockHeader >> 1) & 3;
        std::uint64_t size = blockHeader >> 3;
        if (type == 3 || size > std::max(blockLimit, std::uint64_t{1})) {
            return std::nullopt;
        }
        position += ZSTD_BLOCK_HEADER_SIZE + (type == 1 ? 1 : size);
        if (last) {
            break;
        }
    }
    if (header.checksum) {
        position += ZSTD_CHECKSUM_SIZE;
    }
    return position - frame;
}

// Checks the candidate whose magic is at `offset`; sets `cutShort` when its
// frame or trailer runs past the end of the file.
std::optional<BlockLocation> checkCandidate(std::istream &in, std::uint64_t offset,
                                            bool &cutShort) {
    std::uint64_t frame = offset + ATTACHED_DATA_MAGIC_SIZE;
    std::optional<FrameHeader> header = readFrameHeader(in, frame);
    if (!header) {
        return std::nullopt;
    }
    std::optional<std::uint64_t> frameBytes = measureFrame(in, frame, *header, cutShort);
    if (!frameBytes) {
        return std::nullopt;
    }
    std::uint64_t afterFrame = ATTACHED_DATA_MAGIC_SIZE + *frameBytes;
    std::uint64_t trailer = (afterFrame + ATTACHED_DATA_TRAILER_ALIGNMENT - 1) /
                            ATTACHED_DATA_TRAILER_ALIGNMENT * ATTACHED_DATA_TRAILER_ALIGNMENT;
    unsigned char bytes[ATTACHED_DATA_TRAILER_SIZE];
    if (!readAt(in, offset + trailer, bytes, sizeof bytes)) {
        cutShort = true;
        return std::nullopt;
    }
    if (readLittleEndian(bytes, ATTACHED_DATA_TRAILER_SIZE) != trailer) {
        return std::nullopt;
    }
    BlockLocation where;
    where.offset = offset;
    where.frameBytes = *frameBytes;
    where.blockBytes = trailer + ATTACHED_DATA_TRAILER_SIZE;
    where.windowSize = header->windowSize;
    return where;
}

} // namespace

std::optional<BlockLocation> locateAttachedData(std::istream &in, bool *cutShort) {
    bool anyCutShort = false;
    const std::size_t overlap = CANDIDATE_PATTERN.size() - 1;
    std::vector<unsigned char> buffer(SCAN_CHUNK + overlap);
    std::size_t kept = 0;          // bytes carried over from the previous chunk
    std::uint64_t bufferStart = 0; // file offset of buffer[0]
    for (;;) {
        in.clear();
        in.seekg(static_cast<std::streamoff>(bufferStart + kept));
        if (!in) {
            throw std::runtime_error("cannot read the file");
        }
        in.read(reinterpret_cast<char *>(buffer.data() + kept), SCAN_CHUNK);
        std::size_t filled = kept + static_cast<std::size_t>(in.gcount());
        if (in.bad()) {
            throw std::runtime_error("cannot read the file");
        }
        in.clear();
        auto begin = buffer.begin();
        auto end = buffer.begin() + static_cast<std::ptrdiff_t>(filled);
        for (auto hit = std::search(begin, end, CANDIDATE_PATTERN.begin(), CANDIDATE_PATTERN.end());
             hit != end;
             hit = std::search(hit + 1, end, CANDIDATE_PATTERN.begin(), CANDIDATE_PATTERN.end())) {
            std::uint64_t offset = bufferStart + static_cast<std::uint64_t>(hit - begin);
            if (std::optional<BlockLocation> found = checkCandidate(in, offset, anyCutShort)) {
                return found;
            }
        }
        if (filled < SCAN_CHUNK + kept || filled <= overlap) {
            if (cutShort != nullptr) {
                *cutShort = anyCutShort;
            }
            return std::nullopt; // end of file
        }
        // Keep the tail so a pattern across the chunk boundary is still seen.
        std::memmove(buffer.data(), buffer.data() + filled - overlap, overlap);
        bufferStart += filled - overlap;
        kept = overlap;
    }
}

struct RecordReader::Decoder {
    std::istream &in;
    std::uint64_t inputLeft; // frame bytes not yet read from the file
    ZSTD_DCtx *context = nullptr;
    std::vector<unsigned char> input;
    ZSTD_inBuffer inBuffer{nullptr, 0, 0};
    std::vector<unsigned char> output;
    std::size_t outputPosition = 0;
    std::size_t outputFilled = 0;
    bool frameEnded = false;

    Decoder(std::istream &stream, const BlockLocation &where)
        : in(stream), inputLeft(where.frameBytes), context(ZSTD_createDCtx()),
          input(ZSTD_DStreamInSize()), output(ZSTD_DStreamOutSize()) {
        if (context == nullptr) {
            throw std::bad_alloc();
        }
        in.clear();
        in.seekg(static_cast<std::streamoff>(where.offset + ATTACHED_DATA_MAGIC_SIZE));
        if (!in) {
            throw std::runtime_error("cannot read the file");
        }
    }
    ~Decoder() { ZSTD_freeDCtx(context); }

    // Decodes more output; false once the frame has no more to give.
    bool refill() {
        outputPosition = 0;
        outputFilled = 0;
        while (outputFilled == 0) {
            if (frameEnded) {
                return false;
            }
            if (inBuffer.pos == inBuffer.size && inputLeft > 0) {
                std::size_t want =
                    static_cast<std::size_t>(std::min<std::uint64_t>(inputLeft, input.size()));
                in.read(reinterpret_cast<char *>(input.data()), static_cast<std::streamsize>(want));
                if (static_cast<std::size_t>(in.gcount()) != want) {
                    throw std::runtime_error("cannot read the file");
                }
                inputLeft -= want;
                inBuffer = ZSTD_inBuffer{input.data(), want, 0};
            }
            ZSTD_outBuffer outBuffer{output.data(), output.size(), 0};
            std::size_t result = ZSTD_decompressStream(context, &outBuffer, &inBuffer);
            if (ZSTD_isError(result)) {
                throw DamagedBlockError(std::string("the frame does not decode: ") +
                                        ZSTD_getErrorName(result));
            }
            outputFilled = outBuffer.pos;
            if (result == 0) {
                frameEnded = true;
            } else if (outputFilled == 0 && inBuffer.pos == inBuffer.size && inputLeft == 0) {
                throw DamagedBlockError("the frame ends early");
            }
        }
        return true;
    }

    void read(unsigned char *destination, std::size_t count, const char *what) {
        while (count > 0) {
            if (outputPosition == outputFilled && !refill()) {
                throw DamagedBlockError(std::string("the record stream ends inside ") + what);
            }
            std::size_t piece = std::min(count, outputFilled - outputPosition);
            std::memcpy(destination, output.data() + outputPosition, piece);
            outputPosition += piece;
            destination += piece;
            count -= piece;
        }
    }
};

RecordReader::RecordReader(std::istream &in, const BlockLocation &where)
    : decoder_(std::make_unique<Decoder>(in, where)) {}

RecordReader::~RecordReader() = default;

std::optional<EntryHeader> RecordReader::next() {
    if (unreadContent_ > 0) {
        readContent([](const unsigned char *, std::size_t) {});
    }
    EntryHeader entry;
    for (;;) {
        unsigned char unit[2];
        decoder_->read(unit, sizeof unit, "a name");
        char16_t value = static_cast<char16_t>(unit[0] | (unit[1] << 8));
        if (value == 0) {
            break;
        }
        if (entry.name.size() + 1 >= ENTRY_NAME_CAPACITY) {
            throw DamagedBlockError("a record name is longer than " +
                                    std::to_string(ENTRY_NAME_CAPACITY - 1) + " units");
        }
        entry.name.push_back(value);
    }
    if (entry.name.empty()) {
        return std::nullopt;
    }
    unsigned char fields[12];
    decoder_->read(fields, sizeof fields, "a record header");
    entry.size = readLittleEndian(fields, 8);
    entry.crc = static_cast<std::uint32_t>(readLittleEndian(fields + 8, 4));
    unreadContent_ = entry.size;
    return entry;
}

void RecordReader::readContent(const ContentSink &sink) {
    Decoder &d = *decoder_;
    while (unreadContent_ > 0) {
        if (d.outputPosition == d.outputFilled && !d.refill()) {
            throw DamagedBlockError("the record stream ends inside a file's content");
        }
        std::size_t piece = static_cast<std::size_t>(
            std::min<std::uint64_t>(unreadContent_, d.outputFilled - d.outputPosition));
        sink(d.output.data() + d.outputPosition, piece);
        d.outputPosition += piece;
        unreadContent_ -= piece;
    }
}

std::uint64_t RecordReader::bytesAfterEndMarker() {
    Decoder &d = *decoder_;
    std::uint64_t extra = d.outputFilled - d.outputPosition;
    d.outputPosition = d.outputFilled;
    while (d.refill()) {
        extra += d.outputFilled;
        d.outputPosition = d.outputFilled;
    }
    return extra;
}

} // namespace tallix
