// Temporary files: a file is written as "~tallix-<process id>-<number>.tmp"
// beside its final name, so that it goes into place by a move within its own
// directory, and its name tells which process wrote it. A start that ends
// without its clean-up (killed) leaves them behind; the next start that
// writes into that directory removes those whose process has ended.
#pragma once

#include <stdint.h>

// The name of this process's temporary file `number` beside `finalPath`,
// into `path` (PATH_CAPACITY units).
void buildTemporaryPath(wchar_t *path, const wchar_t *finalPath, uint32_t number);

// Removes the temporary files that starts which have ended left in the
// directory of `finalPath`: plain files only, a link named like one stays
// and nothing it names is touched; one held open now stays for a later
// start. Each directory is swept when a caller enters it (records come
// directory by directory): `sweptDirectory` (PATH_CAPACITY units, empty at
// first) is the caller's own memory of the last one. Never one this process
// created. One thread at a time.
void removeStaleTemporaries(const wchar_t *finalPath, wchar_t *sweptDirectory);
