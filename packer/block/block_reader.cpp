#include "packer/block/block_reader.h"

#include "format/attached_data.h"
#include "format/record_header.h"
#include "packer/support/byte_reading.h"

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getFrameHeader
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

namespace tallix {
namespace {

// A zstd block header: 3 bytes, the last-block bit, the type in the next
// two bits, the size above them. An RLE block stores one byte, a reserved
// type is no frame's.
constexpr std::size_t ZSTD_BLOCK_HEADER_SIZE = 3;
constexpr unsigned ZSTD_BLOCK_RLE = 1;
constexpr unsigned ZSTD_BLOCK_RESERVED = 3;
constexpr std::uint64_t ZSTD_CHECKSUM_SIZE = 4;

std::uint64_t trailerOffset(std::uint64_t frameBytes) {
    std::uint64_t afterFrame = ATTACHED_DATA_MAGIC_SIZE + frameBytes;
    return (afterFrame + ATTACHED_DATA_TRAILER_ALIGNMENT - 1) / ATTACHED_DATA_TRAILER_ALIGNMENT *
           ATTACHED_DATA_TRAILER_ALIGNMENT;
}

// The length of the frame at `frame`, from its header and its block
// headers; DamagedBlockError when a block is of the reserved type or the
// frame runs to `limit`.
std::uint64_t measureFrame(std::istream &in, std::uint64_t frame, const ZSTD_frameHeader &header,
                           std::uint64_t limit) {
    std::uint64_t position = frame + header.headerSize;
    for (bool last = false; !last;) {
        unsigned char bytes[ZSTD_BLOCK_HEADER_SIZE];
        if (position + sizeof bytes > limit) {
            throw DamagedBlockError("its frame runs into its trailer");
        }
        if (!readAt(in, position, bytes, sizeof bytes)) {
            throw BlockReadError("cannot read the file");
        }
        std::uint64_t blockHeader = readLittleEndian(bytes, sizeof bytes);
        last = (blockHeader & 1) != 0;
        unsigned type = (blockHeader >> 1) & 3;
        if (type == ZSTD_BLOCK_RESERVED) {
            throw DamagedBlockError("its frame holds a block of a reserved type");
        }
        position += sizeof bytes + (type == ZSTD_BLOCK_RLE ? 1 : blockHeader >> 3);
    }
    position += header.checksumFlag ? ZSTD_CHECKSUM_SIZE : 0;
    if (position > limit) {
        throw DamagedBlockError("its frame runs into its trailer");
    }
    return position - frame;
}

// The header of the frame at `position` (from the block's first byte), which
// must start before `trailer`.
ZSTD_frameHeader readFrameHeader(std::istream &in, std::uint64_t offset, std::uint64_t position,
                                 std::uint64_t trailer) {
    unsigned char start[ZSTD_FRAMEHEADERSIZE_MAX] = {};
    std::size_t head =
        static_cast<std::size_t>(std::min<std::uint64_t>(trailer - position, sizeof start));
    if (!readAt(in, offset + position, start, head)) {
        throw BlockReadError("cannot read the file");
    }
    ZSTD_frameHeader header;
    std::size_t result = ZSTD_getFrameHeader(&header, start, head);
    if (result != 0 || header.frameType != ZSTD_frame) {
        throw DamagedBlockError(position == ATTACHED_DATA_MAGIC_SIZE
                                    ? std::string("no zstd frame header follows its magic")
                                    : "no zstd frame header at byte " + std::to_string(position) +
                                          ", after a frame");
    }
    return header;
}

} // namespace

BlockLocation checkAttachedData(std::istream &in, std::uint64_t offset, std::uint64_t size) {
    if (size < std::uint64_t{ATTACHED_DATA_MAGIC_SIZE} + ATTACHED_DATA_TRAILER_SIZE) {
        throw DamagedBlockError("it is " + std::to_string(size) +
                                " bytes long, too short for a block");
    }
    unsigned char magic[ATTACHED_DATA_MAGIC_SIZE];
    if (!readAt(in, offset, magic, sizeof magic)) {
        throw BlockReadError("cannot read the file");
    }
    if (std::memcmp(magic, ATTACHED_DATA_MAGIC, ATTACHED_DATA_MAGIC_SIZE) != 0) {
        throw DamagedBlockError("it does not start with the block's magic");
    }
    BlockLocation where;
    where.offset = offset;
    where.blockBytes = size;
    const std::uint64_t trailer = size - ATTACHED_DATA_TRAILER_SIZE;
    // Frames follow each other until less than the padding's most is left
    // before the trailer: too little for another frame.
    std::uint64_t position = ATTACHED_DATA_MAGIC_SIZE;
    do {
        ZSTD_frameHeader header = readFrameHeader(in, offset, position, trailer);
        where.frameStarts.push_back(position);
        where.windowSize = std::max<std::uint64_t>(where.windowSize, header.windowSize);
        position += measureFrame(in, offset + position, header, offset + trailer);
    } while (trailer - position >= ATTACHED_DATA_TRAILER_ALIGNMENT);
    where.frameBytes = position - ATTACHED_DATA_MAGIC_SIZE;
    unsigned char stored[ATTACHED_DATA_TRAILER_SIZE];
    if (!readAt(in, offset + trailer, stored, sizeof stored)) {
        throw BlockReadError("cannot read the file");
    }
    if (trailerOffset(where.frameBytes) != trailer ||
        readLittleEndian(stored, sizeof stored) != trailer) {
        throw DamagedBlockError("its trailer does not follow its frames or does not hold its "
                                "own offset");
    }
    return where;
}

bool startsWithAttachedData(std::istream &in) {
    unsigned char start[ATTACHED_DATA_MAGIC_SIZE];
    return readAt(in, 0, start, sizeof start) &&
           std::memcmp(start, ATTACHED_DATA_MAGIC, sizeof start) == 0;
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
    bool framesEnded = false;
    std::uint64_t delivered = 0;          // stream bytes before output's first
    std::vector<std::uint64_t> frameEnds; // in the record stream

    Decoder(std::istream &stream, const BlockLocation &where)
        : in(stream), inputLeft(where.frameBytes), context(ZSTD_createDCtx()),
          input(ZSTD_DStreamInSize()), output(ZSTD_DStreamOutSize()) {
        if (context == nullptr) {
            throw std::bad_alloc();
        }
        in.clear();
        in.seekg(static_cast<std::streamoff>(where.offset + ATTACHED_DATA_MAGIC_SIZE));
        if (!in) {
            throw BlockReadError("cannot read the file");
        }
    }
    ~Decoder() { ZSTD_freeDCtx(context); }

    // Decodes more output; false once the last frame has no more to give.
    bool refill() {
        delivered += outputFilled;
        outputPosition = 0;
        outputFilled = 0;
        while (outputFilled == 0) {
            if (framesEnded) {
                return false;
            }
            if (inBuffer.pos == inBuffer.size && inputLeft > 0) {
                std::size_t want =
                    static_cast<std::size_t>(std::min<std::uint64_t>(inputLeft, input.size()));
                in.read(reinterpret_cast<char *>(input.data()), static_cast<std::streamsize>(want));
                if (static_cast<std::size_t>(in.gcount()) != want) {
                    throw BlockReadError("cannot read the file");
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
                // The next call starts the next frame, if any input is left.
                frameEnds.push_back(delivered + outputFilled);
                framesEnded = inBuffer.pos == inBuffer.size && inputLeft == 0;
            } else if (outputFilled == 0 && inBuffer.pos == inBuffer.size && inputLeft == 0) {
                throw DamagedBlockError("the frame ends early");
            }
        }
        return true;
    }

    // Up to the stream's end: false when it ends first.
    bool readSome(unsigned char *destination, std::size_t count) {
        while (count > 0) {
            if (outputPosition == outputFilled && !refill()) {
                return false;
            }
            std::size_t piece = std::min(count, outputFilled - outputPosition);
            std::memcpy(destination, output.data() + outputPosition, piece);
            outputPosition += piece;
            destination += piece;
            count -= piece;
        }
        return true;
    }

    // For readRecordHeader(), whose code is built without exceptions: a
    // failure to read is kept for rethrowing once it has returned.
    static bool readForHeader(void *decoder, unsigned char *destination, std::size_t count) {
        Decoder *d = static_cast<Decoder *>(decoder);
        try {
            return d->readSome(destination, count);
        } catch (...) {
            d->failure = std::current_exception();
            return false;
        }
    }
    std::exception_ptr failure;
};

RecordReader::RecordReader(std::istream &in, const BlockLocation &where)
    : decoder_(std::make_unique<Decoder>(in, where)) {}

RecordReader::~RecordReader() = default;

std::optional<EntryHeader> RecordReader::next() {
    if (unreadContent_ > 0) {
        readContent([](const unsigned char *, std::size_t) {});
    }
    recordStarts_.push_back(decoder_->delivered + decoder_->outputPosition);
    RecordHeader header;
    RecordHeaderResult result = readRecordHeader(Decoder::readForHeader, decoder_.get(), &header);
    if (decoder_->failure) {
        std::rethrow_exception(std::exchange(decoder_->failure, nullptr));
    }
    switch (result) {
    case RECORD_END_MARKER:
        return std::nullopt;
    case RECORD_NAME_CUT:
        throw DamagedBlockError("the record stream ends inside a name");
    case RECORD_NAME_TOO_LONG:
        throw DamagedBlockError("a record name is longer than " +
                                std::to_string(ENTRY_NAME_CAPACITY - 1) + " units");
    case RECORD_FIELDS_CUT:
        throw DamagedBlockError("the record stream ends inside a record header");
    case RECORD_HEADER_READ:
        break;
    }
    EntryHeader entry;
    entry.name.assign(header.name, header.name + header.nameLength);
    entry.size = header.size;
    entry.crc = header.crc;
    unreadContent_ = entry.size;
    return entry;
}

void RecordReader::readContent(const ContentSink &sink, const BranchFilterRange *filter) {
    if (filter != nullptr) {
        BranchFilterStream stream;
        startBranchFilter(&stream, *filter, false);
        std::vector<unsigned char> undone(1 << 16);
        readContent([&](const unsigned char *data, std::size_t length) {
            while (length > 0) {
                std::size_t used = 0;
                sink(undone.data(),
                     filterBranchPiece(&stream, data, length, undone.data(), undone.size(), &used));
                data += used;
                length -= used;
            }
        });
        sink(undone.data(), finishBranchFilter(&stream, undone.data()));
        return;
    }
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
    // Every frame but the last ends where a record starts; the last starts
    // no record (the end marker's start counts among the starts).
    frameFirstRecords_.assign(1, 0);
    for (std::size_t j = 0; j + 1 < d.frameEnds.size(); ++j) {
        auto start = std::lower_bound(recordStarts_.begin(), recordStarts_.end(), d.frameEnds[j]);
        if (start == recordStarts_.end() || *start != d.frameEnds[j] ||
            start + 1 == recordStarts_.end()) {
            throw DamagedBlockError("frame " + std::to_string(j + 1) + " of " +
                                    std::to_string(d.frameEnds.size()) +
                                    " ends inside a record or before the end marker");
        }
        frameFirstRecords_.push_back(static_cast<std::size_t>(start - recordStarts_.begin()));
    }
    return extra;
}

} // namespace tallix
