#pragma once
// `Bitmap`: the one owner of a CRoaring `roaring_bitmap_t`.
//
// Every id set of the engine is a `Bitmap`. It is movable but not implicitly
// copyable: copies are explicit (`copy()`), because a copy of a large bitmap
// is real work and should be visible in the code. A moved-from bitmap holds
// no storage and may only be destroyed or assigned to.
//
// Allocation failures inside the library end the running call with a
// `Panic`, as every other internal error does.

#include <roaring/roaring.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace vorlane {

// Whether the universe a query selects within may leave out ids that the
// maps or trees hold (`Part`: a view's selection, or what the parts of an And
// before kept), so that what they give must be intersected with it, or holds
// every one of them (`All`: an index's own ids), so that it need not be.
enum class UniverseCover : bool { Part, All };

class Bitmap {
  public:
    // An empty bitmap created with capacity 0.
    Bitmap();
    ~Bitmap();

    Bitmap(Bitmap&& other) noexcept : raw_(other.raw_) { other.raw_ = nullptr; }
    Bitmap& operator=(Bitmap&& other) noexcept;
    Bitmap(const Bitmap&) = delete;
    Bitmap& operator=(const Bitmap&) = delete;

    // Takes ownership of a bitmap returned by a library call; a null result
    // (the library failed to allocate) is an internal error with `message`.
    static Bitmap adopt(roaring_bitmap_t* raw, const char* message);
    static Bitmap of(std::span<const uint32_t> ids);
    // The ids in any order, repeats allowed: sorted per 2^16 through a flat
    // bit array and handed to the library whole (bitmap_of_unsorted.cpp), far
    // cheaper than sorting them and adding them one by one.
    static Bitmap of_unsorted(std::span<const uint32_t> ids);
    // Distinct ids in ascending order, written container by container in
    // the library's serialized form and read back in one call.
    static Bitmap of_sorted(std::span<const uint32_t> sorted);

    Bitmap copy() const;
    // Replaces the content of this bitmap with that of `other`.
    void overwrite(const Bitmap& other);

    void add(uint32_t id) { roaring_bitmap_add(raw_, id); }
    // True when the id was not held before.
    bool add_checked(uint32_t id) { return roaring_bitmap_add_checked(raw_, id); }
    void add_many(std::span<const uint32_t> ids);
    void remove(uint32_t id) { roaring_bitmap_remove(raw_, id); }
    // True when the id was held before.
    bool remove_checked(uint32_t id) { return roaring_bitmap_remove_checked(raw_, id); }
    void clear() { roaring_bitmap_clear(raw_); }
    // Gives back the spare capacity of the containers (a bitmap that will
    // change little afterwards).
    void shrink_to_fit() { roaring_bitmap_shrink_to_fit(raw_); }
    // Holds as runs the blocks that take fewer bytes so (ids that follow one
    // another); the ids stay the same.
    void compress_runs() { roaring_bitmap_run_optimize(raw_); }

    bool contains(uint32_t id) const { return roaring_bitmap_contains(raw_, id); }
    bool is_empty() const { return roaring_bitmap_is_empty(raw_); }
    uint64_t cardinality() const { return roaring_bitmap_get_cardinality(raw_); }
    // Largest id; 0 for an empty bitmap.
    uint32_t maximum() const { return roaring_bitmap_maximum(raw_); }
    // Smallest id; UINT32_MAX for an empty bitmap.
    uint32_t minimum() const { return roaring_bitmap_minimum(raw_); }
    bool operator==(const Bitmap& other) const { return roaring_bitmap_equals(raw_, other.raw_); }
    // Whether the two share an id, and how many they share, without
    // building their intersection.
    bool intersects(const Bitmap& other) const {
        return roaring_bitmap_intersect(raw_, other.raw_);
    }
    uint64_t and_cardinality(const Bitmap& other) const {
        return roaring_bitmap_and_cardinality(raw_, other.raw_);
    }
    size_t size_in_bytes() const { return roaring_bitmap_size_in_bytes(raw_); }
    // Containers: one per block of 2^16 ids that holds an id.
    size_t container_count() const;
    // Bytes the bitmap takes from the allocator: its record, its containers
    // and their values, with each allocation's overhead (an estimate: the
    // library does not report its allocations).
    size_t heap_bytes() const;

    void or_inplace(const Bitmap& other) { roaring_bitmap_or_inplace(raw_, other.raw_); }
    void and_inplace(const Bitmap& other) { roaring_bitmap_and_inplace(raw_, other.raw_); }
    void andnot_inplace(const Bitmap& other) { roaring_bitmap_andnot_inplace(raw_, other.raw_); }

    static Bitmap and_(const Bitmap& a, const Bitmap& b);
    static Bitmap or_(const Bitmap& a, const Bitmap& b);
    static Bitmap andnot(const Bitmap& a, const Bitmap& b);
    // Union of many bitmaps in one library call; an empty list gives an empty bitmap.
    static Bitmap or_many(std::span<const Bitmap* const> parts);

    // Brings into the cache what adding or removing `id` reads in each of
    // `bitmaps`, by looking the id up in all of them before any changes.
    // A look-up is a chain of dependent misses (the bitmap's header, its key
    // and container arrays, the container, the part of it the id falls in),
    // but the look-ups are independent of one another, so the processor
    // overlaps the chains of several bitmaps, which the updates made one
    // after another would not. Nothing changes.
    static void prefetch_update(std::span<const Bitmap* const> bitmaps, uint32_t id);

    // What `heap_bytes` reports for a bitmap of `ids` ids in `containers`
    // blocks of 2^16 held as sorted arrays (no block beyond
    // `kArrayContainerLimit` ids): what a set of that shape would cost as a
    // bitmap, before one is made.
    static size_t array_containers_bytes(size_t containers, uint64_t ids);

    // Ids in ascending order.
    std::vector<uint32_t> to_vector() const;
    // Appends the ids, ascending, to `out`.
    void append_to(std::vector<uint32_t>& out) const;
    // Appends the `wanted` smallest ids (all of them when there are fewer),
    // ascending, to `out`: one library call that reads no id past them, so
    // a top-k pays for its k ids, not for a block.
    void append_first(size_t wanted, std::vector<uint32_t>& out) const;
    // Writes the ids, ascending, to `out`, which holds exactly `cardinality()`
    // of them. One library call decodes each dense container a word at a
    // time with vector instructions: several times cheaper per id than an
    // iterator, which steps through the bits one by one.
    void write_to(std::span<uint32_t> out) const;

    // Ids read from the library per iterator call in `for_each`.
    static constexpr uint32_t kReadBlock = 256;
    // Ids per container of the library (one container per 2^16 block of
    // ids), and the most a container holds as a sorted array before it turns
    // to a bitset.
    static constexpr uint64_t kContainerIds = uint64_t{1} << 16;
    static constexpr uint64_t kArrayContainerLimit = 4096;

    // Calls `f(std::span<const uint32_t>)` with consecutive runs of at most
    // `Block` ids in ascending order, read from the library in one call per
    // run: a caller that looks ahead within a run (to prefetch) sees many
    // ids at once. The run is held on the stack.
    template <uint32_t Block = kReadBlock, typename F>
    void for_each_block(F&& f) const {
        Cursor cursor(*this);
        uint32_t block[Block];
        for (;;) {
            uint32_t n = cursor.read(block);
            if (n > 0)
                f(std::span<const uint32_t>(block, n));
            if (n < Block)
                break;
        }
    }

    // As `for_each_block`, for a walk that reads every id: they are written
    // out in one library call first (see `write_to`), for 4 bytes per id
    // held meanwhile, and the runs point into that copy.
    template <uint32_t Block = kReadBlock, typename F>
    void for_each_written_block(F&& f) const {
        const size_t count = cardinality();
        // Written in full next: no zeroing first.
        auto ids = std::make_unique_for_overwrite<uint32_t[]>(count);
        write_to(std::span<uint32_t>(ids.get(), count));
        for_each_run<Block>(std::span<const uint32_t>(ids.get(), count), std::forward<F>(f));
    }

    // Calls `f(std::span<const uint32_t>)` with consecutive runs of at most
    // `Block` of `ids`, in place.
    template <uint32_t Block, typename F>
    static void for_each_run(std::span<const uint32_t> ids, F&& f) {
        for (size_t start = 0; start < ids.size(); start += Block)
            f(ids.subspan(start, std::min<size_t>(Block, ids.size() - start)));
    }

    // As `for_each_block`, but `f` returns whether to go on: a walk that
    // stops early reads no further block.
    template <uint32_t Block = kReadBlock, typename F>
    void for_each_block_while(F&& f) const {
        roaring_uint32_iterator_t it;
        roaring_iterator_init(raw_, &it);
        uint32_t block[Block];
        for (;;) {
            uint32_t n = roaring_uint32_iterator_read(&it, block, Block);
            if (n > 0 && !f(std::span<const uint32_t>(block, n)))
                return;
            if (n < Block)
                return;
        }
    }
    // Calls `f(id)` for every id in ascending order, reading the bitmap in
    // blocks so that the per-id cost is a plain loop.
    template <typename F>
    void for_each(F&& f) const {
        for_each_block([&](std::span<const uint32_t> ids) {
            for (uint32_t id : ids)
                f(id);
        });
    }

    // A position in the ids of a bitmap, ascending, that moves on by one id,
    // leaps to an id, or reads a batch of ids at once. It points into the
    // bitmap, which must outlive it and not change while it is used.
    class Cursor {
      public:
        // A cursor at nothing; `start` sets it on a bitmap.
        Cursor() = default;
        explicit Cursor(const Bitmap& ids) { start(ids); }
        // Sets the cursor on the smallest id of `ids`.
        void start(const Bitmap& ids) { roaring_iterator_init(ids.raw_, &it_); }

        bool has_value() const { return it_.has_value; }
        uint32_t current() const { return it_.current_value; }
        void advance() { roaring_uint32_iterator_advance(&it_); }
        // Moves to the first id >= `id`, skipping whole containers; false
        // when there is none.
        bool move_to(uint32_t id) { return roaring_uint32_iterator_move_equalorlarger(&it_, id); }
        // Reads up to `out.size()` ids from the position on into `out`,
        // moving past them; returns how many were read.
        uint32_t read(std::span<uint32_t> out) {
            return roaring_uint32_iterator_read(&it_, out.data(),
                                                static_cast<uint32_t>(out.size()));
        }

      private:
        roaring_uint32_iterator_t it_{};
    };

    // Membership tests of many ids against one bitmap, ascending ids best:
    // it remembers the container the last id fell in, so ids that share a
    // 2^16 block skip the search for their container, and a later block is
    // searched for from the last one on. The bitmap must outlive the probe
    // and not change while it is used.
    class BulkProbe {
      public:
        explicit BulkProbe(const Bitmap& ids) : raw_(ids.raw_) {}
        bool contains(uint32_t id) { return roaring_bitmap_contains_bulk(raw_, &context_, id); }

      private:
        const roaring_bitmap_t* raw_;
        roaring_bulk_context_t context_{};
    };

    // Membership tests in no particular order: the ids copied into a plain
    // array of bits up to the largest (an eighth of a byte per id below it),
    // so each test is one load. Pays where many ids in random order are
    // tested, such as the ids of a tree's entries in value order.
    class DenseProbe {
      public:
        explicit DenseProbe(const Bitmap& ids);
        ~DenseProbe() { bitset_free(bits_); }
        DenseProbe(const DenseProbe&) = delete;
        DenseProbe& operator=(const DenseProbe&) = delete;
        bool contains(uint32_t id) const { return bitset_get(bits_, id); }

      private:
        bitset_t* bits_;
    };

    const roaring_bitmap_t* raw() const { return raw_; }
    roaring_bitmap_t* raw() { return raw_; }

  private:
    explicit Bitmap(roaring_bitmap_t* raw) : raw_(raw) {}
    roaring_bitmap_t* raw_;
};

}  // namespace vorlane
