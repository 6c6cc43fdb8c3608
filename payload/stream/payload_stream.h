// The decoding reader over the compiled-in attached data.
//
// One zstd streaming decoder with default parameters writes into one window;
// requests are served from the window and the decoder runs only when the
// window is used up. The block's frames are decoded one after the other as
// one stream; the decoder checks each frame's content checksum at its end. Every failure ends the
// process through fatalError(): "Error, couldn't allocate memory." or "Error, couldn't decode
// attached data.".
#pragma once

#include <stddef.h>
#include <stdint.h>

enum { PAYLOAD_WINDOW_SIZE = 131072 };

// Allocates the window, then the decoder; input is the block after its magic,
// read as payload/stream/payload_stream_input.h says.
void openPayloadStream();

// Called as each frame begins to decode, the first one included: `frame`
// counts from 0, `blockAt` is where it starts (from the block's first
// byte) and `decodedAt` how many decoded bytes were handed out before it.
// It ends the process when the frame is not where it should be.
typedef void (*FrameStartCheck)(size_t frame, uint64_t blockAt, uint64_t decodedAt);

// From the next frame on, `check` (null: none) sees each frame begin.
void setFrameStartCheck(FrameStartCheck check);

// Decoded bytes handed out so far, and frames begun so far.
uint64_t payloadBytesRead();
size_t payloadFramesBegun();

// Copies exactly `count` (at least 1) decoded bytes to `destination`.
void readPayloadBytes(void *destination, size_t count);

// After the end marker: the frame must end right there, and be the block's
// last. Decodes what is left of it (nothing but its checksum, when it has
// one), so that the decoder checks the content checksum; decoded bytes after
// the marker, a frame that does not end, a checksum mismatch, or anything
// but the padding and the trailer after it end the process with the decode
// message.
void finishPayloadStream();

// Whether the block's bytes from `at` (counted from its first byte) on are
// only its zero padding and its trailer: nothing, a frame least of all,
// follows the last frame.
bool isBlockTail(size_t at);

// Releases the decoder, then the window and the reader.
void closePayloadStream();
