// The steps of a read that every way of reading a file shares: a section's
// id, and everything before the first table slice.
#pragma once

#include "vrex/enums.h"
#include "vrex/reader.h"
#include "vrex/reader_cursor.h"

namespace vrex {

// The next section id, which must be `expected`.
ReadStatus expect_section(ReadCursor& cursor, SectionType expected);

// The file header and the table metadata: fills the version, the metadata,
// the descriptors and the columns of `file`, and leaves `cursor` at the
// first table slice.
ReadStatus read_file_start(ReadCursor& cursor, VrexFile& file);

}  // namespace vrex
