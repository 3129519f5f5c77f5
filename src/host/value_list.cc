#include "host/value_list.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "host/entry_internal.h"

namespace hv {

ValueList::Refs::Refs(const Refs &o) : Refs() { *this = o; }

ValueList::Refs &ValueList::Refs::operator=(const Refs &o) {
    if (this == &o) return *this;
    clear();
    if (o.size_ > 1) {
        heap_ = new Ref[o.size_];
        cap_ = o.size_;
    }
    std::copy(o.begin(), o.end(), data());
    size_ = o.size_;
    return *this;
}

ValueList::Refs::Refs(Refs &&o) noexcept : Refs() { *this = std::move(o); }

ValueList::Refs &ValueList::Refs::operator=(Refs &&o) noexcept {
    if (this == &o) return *this;
    Free();
    if (o.cap_ > 1) {
        heap_ = o.heap_;
    } else {
        one_ = o.one_;
    }
    size_ = o.size_;
    cap_ = o.cap_;
    o.size_ = 0;
    o.cap_ = 1;
    return *this;
}

void ValueList::Refs::insert(Ref *at, Ref r) {
    std::size_t i = static_cast<std::size_t>(at - data());
    if (size_ == cap_) {
        std::uint32_t cap = std::max<std::uint32_t>(4, 2 * cap_);
        Ref *bigger = new Ref[cap];
        std::copy(begin(), end(), bigger);
        Free();
        heap_ = bigger;
        cap_ = cap;
    }
    Ref *d = data();
    std::copy_backward(d + i, d + size_, d + size_ + 1);
    d[i] = r;
    ++size_;
}

void ValueList::Refs::erase(Ref *at) {
    std::copy(at + 1, end(), at);
    --size_;
}

ValueList::Chunk *ValueList::NewChunk(std::size_t cap) {
    void *at = ::operator new(sizeof(Chunk) + cap * sizeof(Slot));
    Chunk *c = new (at) Chunk;
    c->cap = static_cast<std::uint8_t>(cap);
    return c;
}

void ValueList::Release(Chunk *c) {
    // The last owner sees every other owner's use of the chunk finished.
    if (c->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    for (std::size_t i = 0; i < c->size; ++i) delete c->slots()[i].value;
    c->~Chunk();
    ::operator delete(c);
}

void ValueList::Mark(Chunk *c) {
    if (c->frozen) return;
    for (std::size_t i = 0; i < c->size; ++i) c->slots()[i].value->shared = true;
    c->frozen = true;
}

ValueList::~ValueList() { clear(); }

ValueList &ValueList::operator=(ValueList &&o) noexcept {
    if (this != &o) {
        clear();
        chunks_ = std::move(o.chunks_);
        o.chunks_.clear();
    }
    return *this;
}

void ValueList::clear() {
    for (Ref &r : chunks_) Release(r.chunk);
    chunks_.clear();
}

ValueList ValueList::Share() const {
    ValueList out;
    out.chunks_ = chunks_;
    for (const Ref &r : chunks_) {
        Mark(r.chunk);
        r.chunk->refs.fetch_add(1, std::memory_order_relaxed);
    }
    return out;
}

void ValueList::Freeze() const {
    for (const Ref &r : chunks_) Mark(r.chunk);
}

std::pair<std::size_t, std::size_t> ValueList::Locate(std::size_t i) const {
    if (chunks_.size() == 1) return {0, i};
    auto it = std::upper_bound(chunks_.begin(), chunks_.end(), i,
                               [](std::size_t at, const Ref &r) { return at < r.end; });
    std::size_t c = static_cast<std::size_t>(it - chunks_.begin());
    return {c, c == 0 ? i : i - chunks_[c - 1].end};
}

namespace {

// First of n slots keyed k or after.
template <typename Slot>
Slot *LowerBound(Slot *slots, std::size_t n, std::uint64_t k) {
    return std::lower_bound(slots, slots + n, k, [](const Slot &a, std::uint64_t key) { return a.key < key; });
}

}  // namespace

std::size_t ValueList::Find(Key k) const {
    auto it = std::lower_bound(chunks_.begin(), chunks_.end(), k,
                               [](const Ref &r, Key key) { return r.chunk->back().key < key; });
    if (it == chunks_.end()) return npos;
    Chunk *chunk = it->chunk;
    Slot *s = LowerBound(chunk->slots(), chunk->size, k);
    if (s->key != k) return npos;  // the chunk's last key is k or later
    std::size_t before = it == chunks_.begin() ? 0 : (it - 1)->end;
    return before + static_cast<std::size_t>(s - chunk->slots());
}

ValueList::Chunk *ValueList::Writable(std::size_t c, std::size_t room) {
    Chunk *have = chunks_[c].chunk;
    const std::size_t need = have->size + room;
    if (have->refs.load(std::memory_order_acquire) == 1) {
        // Its values keep their mark; a value added now must be marked
        // when the chunk is next shared.
        have->frozen = false;
        if (need <= have->cap) return have;
        Chunk *bigger = NewChunk(std::min(kChunk, std::max(need, 2 * std::size_t{have->cap})));
        std::memcpy(static_cast<void *>(bigger->slots()), have->slots(), have->size * sizeof(Slot));
        bigger->size = have->size;
        have->size = 0;  // its values are bigger's now
        Release(have);
        return chunks_[c].chunk = bigger;
    }
    ChunkPtr copy(NewChunk(need));
    for (std::size_t i = 0; i < have->size; ++i) {
        const Slot &s = have->slots()[i];
        copy->slots()[i] = {s.key, NewValue(s.value->data).release()};
        ++copy->size;
    }
    chunks_[c].chunk = copy.release();
    Release(have);
    return chunks_[c].chunk;
}

void ValueList::Shift(std::size_t from, std::ptrdiff_t by) {
    for (std::size_t c = from; c < chunks_.size(); ++c)
        chunks_[c].end = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(chunks_[c].end) + by);
}

ValueList::Key ValueList::push_back(std::unique_ptr<slapi_value> v) {
    const Key k = empty() ? 0 : chunks_.back().chunk->back().key + 1;
    if (empty() || chunks_.back().chunk->size >= kChunk) {
        ChunkPtr chunk(NewChunk(1));
        chunks_.push_back({chunk.get(), size() + 1});
        Chunk *c = chunk.release();
        c->slots()[0] = {k, v.release()};
        c->size = 1;
        return k;
    }
    Chunk *last = Writable(chunks_.size() - 1, 1);
    last->slots()[last->size++] = {k, v.release()};
    ++chunks_.back().end;
    return k;
}

void ValueList::pop_back() { erase(size() - 1); }

std::unique_ptr<slapi_value> ValueList::erase(std::size_t i) {
    auto [c, off] = Locate(i);
    Chunk *chunk = Writable(c, 0);
    Slot *s = chunk->slots() + off;
    std::unique_ptr<slapi_value> v(s->value);
    std::memmove(static_cast<void *>(s), s + 1, (chunk->size - off - 1) * sizeof(Slot));
    --chunk->size;
    Shift(c, -1);
    Settle(c);
    return v;
}

std::unique_ptr<slapi_value> ValueList::erase(const_iterator it) {
    std::size_t before = it.ref_ == chunks_.data() ? 0 : (it.ref_ - 1)->end;
    return erase(before + it.off_);
}

void ValueList::Settle(std::size_t c) {
    Chunk *chunk = chunks_[c].chunk;  // this list's own: just changed
    if (chunk->size == 0) {
        Release(chunk);
        chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(c));
        return;
    }
    if (c + 1 == chunks_.size() || chunk->size >= kChunk / 4) return;
    Chunk *next = chunks_[c + 1].chunk;
    if (chunk->size + next->size > kChunk) return;
    chunk = Writable(c, next->size);
    if (next->refs.load(std::memory_order_acquire) == 1) {
        std::memcpy(static_cast<void *>(chunk->slots() + chunk->size), next->slots(), next->size * sizeof(Slot));
        chunk->size = static_cast<std::uint8_t>(chunk->size + next->size);
        next->size = 0;  // its values are chunk's now
    } else {
        for (std::size_t i = 0; i < next->size; ++i) {
            const Slot &s = next->slots()[i];
            chunk->slots()[chunk->size] = {s.key, NewValue(s.value->data).release()};
            ++chunk->size;
        }
    }
    chunks_[c].end = chunks_[c + 1].end;
    Release(next);
    chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(c) + 1);
}

void ValueList::Insert(Key k, std::unique_ptr<slapi_value> v) {
    if (empty()) {
        push_back(std::move(v));
        chunks_.back().chunk->back().key = k;
        return;
    }
    // The first chunk ending at or after k, else the last.
    auto it = std::lower_bound(chunks_.begin(), chunks_.end(), k,
                               [](const Ref &r, Key key) { return r.chunk->back().key < key; });
    std::size_t c = it == chunks_.end() ? chunks_.size() - 1 : static_cast<std::size_t>(it - chunks_.begin());
    Chunk *chunk = Writable(c, 0);
    if (chunk->size >= kChunk) {
        constexpr std::size_t kKept = kChunk / 2;
        ChunkPtr half(NewChunk(kChunk));
        std::memcpy(static_cast<void *>(half->slots()), chunk->slots() + kKept, (kChunk - kKept) * sizeof(Slot));
        chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(c) + 1, {half.get(), chunks_[c].end});
        half->size = static_cast<std::uint8_t>(kChunk - kKept);  // the rest are half's now
        chunk->size = kKept;
        chunks_[c].end -= half->size;
        if (k > chunk->back().key) ++c;
        half.release();
    }
    chunk = Writable(c, 1);
    Slot *at = LowerBound(chunk->slots(), chunk->size, k);
    std::memmove(static_cast<void *>(at + 1), at, static_cast<std::size_t>(chunk->slots() + chunk->size - at) * sizeof(Slot));
    *at = {k, v.release()};
    ++chunk->size;
    Shift(c, 1);
}

}  // namespace hv
