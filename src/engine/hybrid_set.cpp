#include "engine/hybrid_set.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <iterator>
#include <new>
#include <utility>
#include <vector>

#include "engine/panic.hpp"
#include "engine/prefetch.hpp"

namespace vorlane {

// The array form's allocation: a header and `cap` ids, the first `len` of
// them ascending and distinct. Invariant: 2 <= len <= cap <= kArrayLimit.
struct HybridSet::IdArray {
    uint32_t len;
    uint32_t cap;

    uint32_t* ids() { return reinterpret_cast<uint32_t*>(this + 1); }
    const uint32_t* ids() const { return reinterpret_cast<const uint32_t*>(this + 1); }
    std::span<const uint32_t> members() const { return {ids(), len}; }
    size_t bytes() const { return bytes_for(cap); }

    static size_t bytes_for(uint32_t cap) { return sizeof(IdArray) + cap * sizeof(uint32_t); }
    // An array holding `ids` with room for `cap`.
    static IdArray* make(std::span<const uint32_t> ids, uint32_t cap) {
        auto* array =
            new (::operator new(bytes_for(cap))) IdArray{static_cast<uint32_t>(ids.size()), cap};
        std::copy(ids.begin(), ids.end(), array->ids());
        return array;
    }
    static void destroy(IdArray* array) { ::operator delete(array); }
};

namespace {

// Internal errors of the placeholder. The two texts are not one on purpose:
// adding to a placeholder, or combining one with another set, fails with
// the first; removing from one, or asking whether it is empty, with the
// second. Each operation keeps the text it has always had.
constexpr const char* kNotImplemented = "not implemented";
constexpr const char* kNotYetImplemented = "not yet implemented";

// The allocator's header and rounding per allocation, on average: an array
// is one allocation, a bitmap's record one more than the bitmap's own.
constexpr size_t kAllocationOverhead = 16;

// Up to this many ids an array costs less than a bitmap of a single block
// (some 190 bytes and 2 an id): their blocks need no counting.
constexpr uint32_t kSmallerThanAnyBitmap = 64;

// Blocks of 2^16 that `ids` (ascending) touch.
size_t blocks_of(std::span<const uint32_t> ids) {
    size_t blocks = 0;
    for (size_t i = 0; i < ids.size(); ++i)
        blocks += i == 0 || (ids[i] >> 16) != (ids[i - 1] >> 16);
    return blocks;
}

// Blocks that `ids` (ascending) and `extra` (not in them) touch.
size_t blocks_with(std::span<const uint32_t> ids, uint32_t extra) {
    auto at = std::lower_bound(ids.begin(), ids.end(), extra);
    bool shares = (at != ids.end() && (*at >> 16) == (extra >> 16)) ||
                  (at != ids.begin() && (*(at - 1) >> 16) == (extra >> 16));
    return blocks_of(ids) + (shares ? 0 : 1);
}

// Capacities are multiples of this: with the 8-byte header, such an
// allocation fills one of the allocator's 16-byte size classes exactly.
constexpr uint32_t kCapacityStep = 4;

uint32_t round_up_capacity(uint32_t n) {
    return std::max(kCapacityStep, (n + kCapacityStep - 1) / kCapacityStep * kCapacityStep);
}

// The capacity an array of `cap` grows to for one more id: about half as
// much again, so a set built one id at a time is copied a few times only.
uint32_t grown_capacity(uint32_t cap) {
    return std::min(HybridSet::kArrayLimit, round_up_capacity(cap + cap / 2));
}

// The ids of `large` when it holds at most `limit`; otherwise nothing is
// read past `limit + 1` ids, whatever the bitmap's size.
bool read_if_at_most(const Bitmap& large, uint32_t limit, std::vector<uint32_t>& out) {
    out.resize(limit + 1);
    uint32_t n = Bitmap::Cursor(large).read(out);
    out.resize(n);
    return n <= limit;
}

}  // namespace

HybridSet HybridSet::with_id(uint32_t id) {
    return HybridSet(inline_word(id));
}

HybridSet HybridSet::from_bitmap(Bitmap bitmap) {
    return HybridSet(reinterpret_cast<uintptr_t>(new LargeIds(std::move(bitmap))));
}

bool HybridSet::array_is_smaller(uint64_t count, uint32_t cap, size_t blocks, Use use) {
    if (cap > kArrayLimit || (use == Use::Range && count > kRangeArrayLimit))
        return false;
    size_t as_array = IdArray::bytes_for(cap) + kAllocationOverhead;
    size_t as_bitmap =
        sizeof(LargeIds) + kAllocationOverhead + Bitmap::array_containers_bytes(blocks, count);
    return as_array <= as_bitmap;
}

HybridSet HybridSet::of_sorted(std::span<const uint32_t> ids, Use use) {
    if (ids.empty())
        return HybridSet();
    if (ids.size() <= kRunLimit && ids.back() - ids.front() == ids.size() - 1)
        return HybridSet(run_word(ids.front(), static_cast<uint32_t>(ids.size())));
    if (ids.size() == 2 && fits_pair(ids[0], ids[1]))
        return HybridSet(pair_word(ids[0], ids[1]));
    if (ids.size() <= kArrayLimit) {
        uint32_t cap = round_up_capacity(static_cast<uint32_t>(ids.size()));
        if (ids.size() <= kSmallerThanAnyBitmap ||
            array_is_smaller(ids.size(), cap, blocks_of(ids), use))
            return HybridSet(reinterpret_cast<uintptr_t>(IdArray::make(ids, cap)) | kArrayTag);
    }
    // Built whole, container by container: adding ids one by one costs a
    // container look-up each (a bulk addition makes many such sets).
    Bitmap large = Bitmap::of_unsorted(ids);
    large.shrink_to_fit();
    return from_bitmap(std::move(large));
}

void HybridSet::release() {
    switch (tag()) {
        case kBitmapTag:
            delete large();  // null for the placeholder
            break;
        case kArrayTag:
            IdArray::destroy(array());
            break;
        default:
            break;
    }
    word_ = kPlaceholder;
}

HybridSet& HybridSet::operator=(HybridSet&& other) noexcept {
    // Taking the word first keeps self-assignment harmless.
    uintptr_t taken = std::exchange(other.word_, kPlaceholder);
    release();
    word_ = taken;
    return *this;
}

HybridSet HybridSet::copy() const {
    if (const Bitmap* large = bitmap_form())
        return from_bitmap(large->copy());
    if (tag() == kArrayTag)
        return of_sorted(array()->members());
    return HybridSet(word_);  // inline or placeholder: the word is the whole set
}

HybridSet::Form HybridSet::form() const {
    switch (tag()) {
        case kInlineTag:
            return Form::Inline;
        case kArrayTag:
            return Form::Array;
        case kPairTag:
            return Form::Pair;
        default:
            return word_ == kPlaceholder ? Form::Placeholder : Form::Bitmap;
    }
}

std::span<const uint32_t> HybridSet::small_ids(SmallIds& scratch) const {
    if (tag() == kArrayTag)
        return array()->members();
    if (tag() == kPairTag) {
        scratch[0] = run_first();
        scratch[1] = pair_second();
        return {scratch.data(), 2};
    }
    if (tag() != kInlineTag)
        return {};
    uint32_t length = run_length();
    for (uint32_t i = 0; i < length; ++i)
        scratch[i] = run_first() + i;
    return {scratch.data(), length};
}

void HybridSet::become_bitmap_of(std::span<const uint32_t> ids, uint32_t extra) {
    Bitmap grown = Bitmap::of(ids);
    grown.add(extra);
    HybridSet replacement = from_bitmap(std::move(grown));
    *this = std::move(replacement);
}

bool HybridSet::insert(uint32_t id, Use use) {
    switch (form()) {
        case Form::Placeholder:
            panic(kNotImplemented);
        case Form::Bitmap:
            return large()->add(id);
        case Form::Inline:
            return insert_inline(id, use);
        case Form::Pair:
            return insert_pair(id, use);
        case Form::Array:
            break;
    }
    return insert_array(id, use);
}

bool HybridSet::insert_pair(uint32_t id, Use use) {
    SmallIds scratch;
    std::span<const uint32_t> held = small_ids(scratch);
    if (id == held[0] || id == held[1])
        return false;
    std::array<uint32_t, 3> merged;
    std::merge(held.begin(), held.end(), &id, &id + 1, merged.begin());
    *this = of_sorted(merged, use);
    return true;
}

bool HybridSet::insert_array(uint32_t id, Use use) {
    IdArray* a = array();
    uint32_t* begin = a->ids();
    uint32_t* at = std::lower_bound(begin, begin + a->len, id);
    if (at != begin + a->len && *at == id)
        return false;
    size_t point = static_cast<size_t>(at - begin);
    if (use == Use::Range && a->len >= kRangeArrayLimit) {
        become_bitmap_of(a->members(), id);
        return true;
    }
    if (a->len == a->cap) {
        // Full: it grows only while an array of the new room costs less than a
        // bitmap, which it becomes otherwise.
        uint32_t cap = grown_capacity(a->cap);
        if (cap == a->cap ||
            (a->len >= kSmallerThanAnyBitmap &&
             !array_is_smaller(a->len + 1, cap, blocks_with(a->members(), id), use))) {
            become_bitmap_of(a->members(), id);
            return true;
        }
        IdArray* grown = IdArray::make(a->members().first(point), cap);
        std::copy(begin + point, begin + a->len, grown->ids() + point + 1);
        grown->len = a->len;
        IdArray::destroy(a);
        word_ = reinterpret_cast<uintptr_t>(grown) | kArrayTag;
        a = grown;
    } else {
        std::memmove(begin + point + 1, begin + point, (a->len - point) * sizeof(uint32_t));
    }
    a->ids()[point] = id;
    ++a->len;
    return true;
}

bool HybridSet::insert_inline(uint32_t id, Use use) {
    uint32_t length = run_length();
    if (length == 0) {
        word_ = inline_word(id);
        return true;
    }
    uint64_t first = run_first();
    uint64_t last = first + length - 1;
    if (id >= first && id <= last)
        return false;
    if (length < kRunLimit && (id == last + 1 || id + uint64_t{1} == first)) {
        word_ = run_word(static_cast<uint32_t>(std::min<uint64_t>(first, id)), length + 1);
        return true;
    }
    // A run and one id: few enough for an array, in any blocks.
    SmallIds scratch;
    std::span<const uint32_t> held = small_ids(scratch);
    if (use == Use::Range && length >= kRangeArrayLimit) {
        become_bitmap_of(held, id);
        return true;
    }
    std::array<uint32_t, kRunLimit + 1> merged;
    uint32_t* out = std::merge(held.begin(), held.end(), &id, &id + 1, merged.begin());
    *this = of_sorted(std::span<const uint32_t>(merged.data(), out), use);
    return true;
}

void HybridSet::insert_sorted(std::span<const uint32_t> ids) {
    if (ids.empty())
        return;
    if (bitmap_form() != nullptr) {
        large()->ids.add_many(ids);
        large()->refresh();
        return;
    }
    if (is_placeholder())
        panic(kNotImplemented);
    SmallIds scratch;
    std::span<const uint32_t> mine = small_ids(scratch);
    std::vector<uint32_t> merged;
    merged.reserve(mine.size() + ids.size());
    std::set_union(mine.begin(), mine.end(), ids.begin(), ids.end(), std::back_inserter(merged));
    *this = of_sorted(merged);
}

void HybridSet::shrink_bitmap_if_small() {
    std::vector<uint32_t> ids;
    if (read_if_at_most(*bitmap(), kShrinkToArray, ids))
        *this = of_sorted(ids);
}

void HybridSet::shrink_array() {
    IdArray* a = array();
    if (a->len == 1) {
        uint32_t last = a->ids()[0];
        IdArray::destroy(a);
        word_ = inline_word(last);
        return;
    }
    if (a->len == 2 && fits_pair(a->ids()[0], a->ids()[1])) {
        uintptr_t pair = pair_word(a->ids()[0], a->ids()[1]);
        IdArray::destroy(a);
        word_ = pair;
        return;
    }
    // Sized to what it holds: an array two thirds empty gives the room back,
    // keeping half again its length so that the next insertions fit.
    if (a->cap > kCapacityStep && a->len * 3 <= a->cap) {
        IdArray* smaller = IdArray::make(a->members(), round_up_capacity(a->len + a->len / 2));
        IdArray::destroy(a);
        word_ = reinterpret_cast<uintptr_t>(smaller) | kArrayTag;
    }
}

void HybridSet::remove(uint32_t id) {
    switch (form()) {
        case Form::Placeholder:
            panic(kNotYetImplemented);
        case Form::Bitmap:
            if (large()->remove(id))
                shrink_bitmap_if_small();
            return;
        case Form::Inline:
            remove_inline(id);
            return;
        case Form::Pair:
            if (id == run_first())
                word_ = inline_word(pair_second());
            else if (id == pair_second())
                word_ = inline_word(run_first());
            return;
        case Form::Array:
            break;
    }
    IdArray* a = array();
    uint32_t* begin = a->ids();
    uint32_t* end = begin + a->len;
    uint32_t* at = std::lower_bound(begin, end, id);
    if (at == end || *at != id)
        return;
    std::copy(at + 1, end, at);
    --a->len;
    shrink_array();
}

// A run loses an end in place; an id from its middle leaves two runs, held
// as an array.
void HybridSet::remove_inline(uint32_t id) {
    uint32_t length = run_length();
    uint32_t first = run_first();
    if (length == 0 || id < first || id - first >= length)
        return;
    if (length == 1) {
        word_ = kInlineEmpty;
    } else if (id == first) {
        word_ = run_word(first + 1, length - 1);
    } else if (id - first == length - 1) {
        word_ = run_word(first, length - 1);
    } else {
        SmallIds scratch;
        std::span<const uint32_t> held = small_ids(scratch);
        std::array<uint32_t, kRunLimit> kept;
        uint32_t* out = std::remove_copy(held.begin(), held.end(), kept.begin(), id);
        *this = of_sorted(std::span<const uint32_t>(kept.data(), out));
    }
}

bool HybridSet::contains(uint32_t id) const {
    if (const DenseIds* dense = dense_form())
        return dense->contains(id);
    if (const Bitmap* large = bitmap_form())
        return large->contains(id);
    if (tag() == kInlineTag)
        return run_length() > 0 && id >= run_first() && id - run_first() < run_length();
    SmallIds scratch;
    std::span<const uint32_t> ids = small_ids(scratch);
    return std::binary_search(ids.begin(), ids.end(), id);
}

bool HybridSet::is_empty() const {
    switch (form()) {
        case Form::Placeholder:
            panic(kNotYetImplemented);
        case Form::Bitmap:
            return bitmap()->is_empty();
        case Form::Inline:
            return (word_ & kInlineHasId) == 0;
        case Form::Array:
        case Form::Pair:
            break;
    }
    return false;  // an array or a pair holds two ids at least
}

const DenseIds* HybridSet::dense_form() const {
    if (bitmap_form() == nullptr || !large()->dense.present())
        return nullptr;
    return &large()->dense;
}

uint64_t HybridSet::len() const {
    if (bitmap_form() != nullptr)
        return large()->cardinality;
    if (tag() == kInlineTag)
        return run_length();
    SmallIds scratch;
    return small_ids(scratch).size();
}

uint32_t HybridSet::min_id() const {
    if (bitmap_form() != nullptr)
        return large()->minimum;
    if (tag() == kInlineTag)
        return run_length() == 0 ? kNoId : run_first();
    SmallIds scratch;
    std::span<const uint32_t> ids = small_ids(scratch);
    return ids.empty() ? kNoId : ids.front();
}

Bitmap HybridSet::as_bitmap() const {
    if (const Bitmap* large = bitmap_form())
        return large->copy();
    SmallIds scratch;
    return Bitmap::of(small_ids(scratch));
}

void HybridSet::or_into(Bitmap& target) const {
    if (const Bitmap* large = bitmap_form()) {
        target.or_inplace(*large);
        return;
    }
    SmallIds scratch;
    target.add_many(small_ids(scratch));
}

void HybridSet::or_inplace(const HybridSet& other) {
    // Moved out first: if this fails, the placeholder is what stays behind.
    HybridSet mine(std::move(*this));
    if (mine.is_placeholder() || other.is_placeholder())
        panic(kNotImplemented);
    if (mine.bitmap_form() != nullptr) {
        other.or_into(mine.large()->ids);
        mine.large()->refresh();
        *this = std::move(mine);
        return;
    }
    SmallIds scratch;
    std::span<const uint32_t> ids = mine.small_ids(scratch);
    if (const Bitmap* theirs = other.bitmap_form()) {
        Bitmap result = theirs->copy();
        result.add_many(ids);
        *this = from_bitmap(std::move(result));
        return;
    }
    SmallIds their_scratch;
    mine.insert_sorted(other.small_ids(their_scratch));
    *this = std::move(mine);
}

void HybridSet::and_inplace(const HybridSet& other) {
    HybridSet mine(std::move(*this));
    if (mine.is_placeholder() || other.is_placeholder())
        panic(kNotImplemented);
    if (mine.bitmap_form() != nullptr) {
        if (const Bitmap* theirs = other.bitmap_form()) {
            mine.large()->ids.and_inplace(*theirs);
            mine.large()->refresh();
            mine.shrink_bitmap_if_small();
            *this = std::move(mine);
            return;
        }
    }
    // One side is small: the result is the small side's ids that the other
    // holds, and small too.
    const HybridSet& small = mine.bitmap_form() ? other : mine;
    const HybridSet& probed = mine.bitmap_form() ? mine : other;
    SmallIds scratch;
    std::vector<uint32_t> kept;
    for (uint32_t id : small.small_ids(scratch)) {
        if (probed.contains(id))
            kept.push_back(id);
    }
    *this = of_sorted(kept);
}

size_t HybridSet::memory_usage() const {
    if (const Bitmap* ids = bitmap_form())
        return sizeof(LargeIds) + ids->heap_bytes() + large()->dense.bytes();
    return tag() == kArrayTag ? array()->bytes() : 0;
}

void HybridSet::prefetch_small() const {
    // A long array is searched, not read whole: its header and first lines.
    constexpr size_t kPrefetchBytes = 256;
    if (tag() == kArrayTag)
        prefetch_bytes(array(), std::min(array()->bytes(), kPrefetchBytes));
}

void HybridSet::validate() const {
    switch (form()) {
        case Form::Placeholder:
            return;
        case Form::Bitmap:
            validate_large();
            return;
        case Form::Inline: {
            uint32_t length = run_length();
            if (length == 0 ? word_ != kInlineEmpty : word_ != run_word(run_first(), length))
                panic("HybridSet: stray bits in an inline set");
            if (length > 0 && uint64_t{run_first()} + length - 1 > UINT32_MAX)
                panic("HybridSet: inline run past the last id");
            return;
        }
        case Form::Pair: {
            uint64_t gap = (word_ & 0xFFFFFFFFu) >> kPairGapShift;
            if (gap < 2 || uint64_t{run_first()} + gap > UINT32_MAX)
                panic("HybridSet: pair ids not apart, or past the last id");
            return;
        }
        case Form::Array:
            break;
    }
    const IdArray& a = *array();
    if (a.len < 2 || a.len > a.cap || a.cap > kArrayLimit)
        panic("HybridSet: array length outside 2..capacity..limit");
    std::span<const uint32_t> ids = a.members();
    if (std::adjacent_find(ids.begin(), ids.end(), std::greater_equal<>()) != ids.end())
        panic("HybridSet: array ids not strictly ascending");
}

}  // namespace vorlane
