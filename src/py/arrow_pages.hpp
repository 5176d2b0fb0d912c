#pragma once
// The memory of an export's column buffers (py/arrow_cells.hpp).
//
// An export writes tens of megabytes into buffers that a reader (a
// DataFrame, a table) keeps as long as it likes and frees from any thread.
// Fresh mappings cost a page fault and the zeroing of every page written:
// for a million rows of five columns, more time than the reading itself.
// So a mapping freed by a reader is kept, within a bound, for the next
// export's buffer of the same size class, and written again without a fault.
// Its pages are kept as they are, not marked as free to the system: marking
// walks every page written, and dropping a DataFrame of a million rows of
// five columns took about 1 ms with it against 0.03 ms without, a twentieth
// of the export and the DataFrame together. So the bound is what exports
// keep in memory between calls. Small buffers come from the ordinary
// allocator.

#include <cstddef>

namespace vorlane {

struct ArrowPages {
    // `bytes` of memory, not written.
    static void* allocate(size_t bytes);
    // Gives back what `allocate(bytes)` returned; any thread.
    static void deallocate(void* p, size_t bytes) noexcept;
};

}  // namespace vorlane
