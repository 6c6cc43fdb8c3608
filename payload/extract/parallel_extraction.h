// A cold start on several cores: the block's frames (format/attached_data.h)
// decoded at once by lanes, each a thread that takes the next frame in
// order, decodes it alone, holds each of its records to its index entry
// (name, size, stored CRC-32) before anything is written under that name,
// and checks and writes the record's file itself (payload/write/file_writer.h):
// reused when it matches on disk, else written under a temporary name and
// checked. A frame must end exactly after its last record (the last frame:
// after the end marker, with only the block's padding and trailer after
// it), every byte of its table extent decoded.
//
// What payload/extract/extraction.h promises holds as for the sequential path:
// every file goes into place only after every frame has ended cleanly, in
// record order, by the calling thread; a failure leaves nothing placed and
// its temporaries and created folders are removed; a killed start's
// temporaries are removed by a later start. Of several failures, the one a
// single thread reading the records in order would have met first is
// reported: a lane that fails stops, lanes on later records stop, lanes on
// earlier records run on.
//
// Lanes are used only with a whole index, as many as there are frames and
// cores and as fit the memory budget at the widest window the frame
// headers declare. One lane is used when only some frames are to be
// decoded; else, below two, the caller extracts on the sequential path
// (payload/extract/extraction.h), which reads the frames in a row and, with a whole
// index, holds each frame to the table as the lanes do.
#pragma once

#include "format/index/payload_index.h"

#include <stddef.h>
#include <stdint.h>

// All lanes' decoders and buffers together, at most: with the launcher's
// code, the static tables and the writers' buffers, a cold start stays
// within 96 MB whatever the block's size (it is read in pieces,
// payload/stream/payload_stream_input.h). The packer's default window (4 MiB)
// leaves room for about eleven lanes; a 2^27 window, for none.
enum : uint64_t { LANE_MEMORY_BUDGET = uint64_t{64} << 20 };
// Lanes' own state is static, for this many; eight cores' worth and more.
enum { MAX_LANES = 16 };
// A lane needs a few kilobytes of stack beyond its static state.
enum { LANE_STACK_SIZE = 256 * 1024 };

// How many lanes `index` allows on this process, from its frame count, the
// frames' windows, the cores and the budget; 0 when not even one fits.
// Keeps `index` for the run.
size_t chooseLaneCount(const PayloadIndex &index);

// Starts a run of the index's records (the last chooseLaneCount()'s): every
// record pending in record order, so that record k is place k
// (payload/write/file_writer.h), and ChildProgramPath set.
void beginLaneRun(const PayloadIndex &index);

// Decodes in `laneCount` lanes (at most the last chooseLaneCount()), then
// puts every pending file in place and ends the run. With `decode` (one flag
// per record), record k is decoded into its file only where decode[k] is
// set, and its content otherwise read past (its file is settled: in place,
// or made before the run by makePendingFile); a frame without a record to
// decode is not read at all. Failures end the process.
void runLanes(size_t laneCount, const bool *decode);

// Both, every record decoded (a cold start).
void extractInLanes(const PayloadIndex &index, size_t laneCount);
