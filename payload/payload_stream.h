// The decoding reader over the compiled-in attached data.
//
// One zstd streaming decoder with default parameters writes into one window;
// requests are served from the window and the decoder runs only when the
// window is used up. Every failure ends the process through fatalError():
// "Error, couldn't allocate memory." or "Error, couldn't decode attached data.".
#pragma once

#include <stddef.h>

enum { PAYLOAD_WINDOW_SIZE = 131072 };

// Allocates the window, then the decoder; input is the block after its magic.
void openPayloadStream();

// Copies exactly `count` (at least 1) decoded bytes to `destination`.
void readPayloadBytes(void *destination, size_t count);

// After the end marker: the frame must end right there. Decodes what is left
// of it (nothing but its checksum, when it has one), so that the decoder
// checks the content checksum; decoded bytes after the marker, a frame that
// does not end, or a checksum mismatch end the process with the decode message.
void finishPayloadStream();

// Releases the decoder, then the window.
void closePayloadStream();
