#include "host/value_list.h"

#include <algorithm>

#include "host/entry_internal.h"

namespace hv {

ValueList::Chunk::~Chunk() {
    for (Slot &s : slots) delete s.value;
}

void ValueList::Release(Chunk *c) {
    // The last owner sees every other owner's use of the chunk finished.
    if (c->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete c;
}

void ValueList::Mark(Chunk *c) {
    if (c->frozen) return;
    for (Slot &s : c->slots) s.value->shared = true;
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

std::size_t ValueList::Find(Key k) const {
    auto it = std::lower_bound(chunks_.begin(), chunks_.end(), k,
                               [](const Ref &r, Key key) { return r.chunk->slots.back().key < key; });
    if (it == chunks_.end()) return npos;
    const std::vector<Slot> &slots = it->chunk->slots;
    auto s = std::lower_bound(slots.begin(), slots.end(), k, [](const Slot &a, Key key) { return a.key < key; });
    if (s == slots.end() || s->key != k) return npos;
    std::size_t before = it == chunks_.begin() ? 0 : (it - 1)->end;
    return before + static_cast<std::size_t>(s - slots.begin());
}

ValueList::Chunk *ValueList::Writable(std::size_t c) {
    Chunk *have = chunks_[c].chunk;
    if (have->refs.load(std::memory_order_acquire) == 1) {
        // Its values keep their mark; a value added now must be marked
        // when the chunk is next shared.
        have->frozen = false;
        return have;
    }
    auto copy = std::make_unique<Chunk>();
    copy->slots.reserve(have->slots.size() + 1);
    for (const Slot &s : have->slots) {
        copy->slots.push_back({s.key, nullptr});
        copy->slots.back().value = NewValue(s.value->data).release();
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
    const Key k = empty() ? 0 : chunks_.back().chunk->slots.back().key + 1;
    if (empty() || chunks_.back().chunk->slots.size() >= kChunk) {
        auto chunk = std::make_unique<Chunk>();
        chunk->slots.push_back({k, v.get()});
        v.release();
        chunks_.push_back({chunk.get(), size() + 1});
        chunk.release();
        return k;
    }
    Chunk *last = Writable(chunks_.size() - 1);
    last->slots.push_back({k, v.get()});
    v.release();
    ++chunks_.back().end;
    return k;
}

void ValueList::pop_back() { erase(size() - 1); }

std::unique_ptr<slapi_value> ValueList::erase(std::size_t i) {
    auto [c, off] = Locate(i);
    Chunk *chunk = Writable(c);
    std::unique_ptr<slapi_value> v(chunk->slots[off].value);
    chunk->slots.erase(chunk->slots.begin() + static_cast<std::ptrdiff_t>(off));
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
    if (chunk->slots.empty()) {
        Release(chunk);
        chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(c));
        return;
    }
    if (c + 1 == chunks_.size() || chunk->slots.size() >= kChunk / 4) return;
    Chunk *next = chunks_[c + 1].chunk;
    if (chunk->slots.size() + next->slots.size() > kChunk) return;
    const bool own = next->refs.load(std::memory_order_acquire) == 1;
    chunk->slots.reserve(chunk->slots.size() + next->slots.size());
    for (Slot &s : next->slots) {
        if (own) {
            chunk->slots.push_back(s);
            s.value = nullptr;  // moved
        } else {
            chunk->slots.push_back({s.key, nullptr});
            chunk->slots.back().value = NewValue(s.value->data).release();
        }
    }
    chunks_[c].end = chunks_[c + 1].end;
    Release(next);
    chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(c) + 1);
}

void ValueList::Insert(Key k, std::unique_ptr<slapi_value> v) {
    if (empty()) {
        push_back(std::move(v));
        chunks_.back().chunk->slots.back().key = k;
        return;
    }
    // The first chunk ending at or after k, else the last.
    auto it = std::lower_bound(chunks_.begin(), chunks_.end(), k,
                               [](const Ref &r, Key key) { return r.chunk->slots.back().key < key; });
    std::size_t c = it == chunks_.end() ? chunks_.size() - 1 : static_cast<std::size_t>(it - chunks_.begin());
    Chunk *chunk = Writable(c);
    if (chunk->slots.size() >= kChunk) {
        auto half = std::make_unique<Chunk>();
        half->slots.assign(chunk->slots.begin() + kChunk / 2, chunk->slots.end());
        chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(c) + 1, {half.get(), chunks_[c].end});
        chunks_[c].end -= half->slots.size();
        chunk->slots.resize(kChunk / 2);  // the rest now half's
        if (k > chunk->slots.back().key) {
            chunk = half.get();
            ++c;
        }
        half.release();
    }
    auto at = std::lower_bound(chunk->slots.begin(), chunk->slots.end(), k,
                               [](const Slot &a, Key key) { return a.key < key; });
    chunk->slots.insert(at, {k, v.get()});
    v.release();
    Shift(c, 1);
}

}  // namespace hv
