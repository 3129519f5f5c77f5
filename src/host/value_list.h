// The values of one attribute, in order, kept in chunks of up to kChunk
// values that several lists may share: a snapshot of a large attribute
// (the members of a group, shown to handlers before and after a change)
// costs a pointer a chunk instead of a copy of every value, and a change
// to a shared chunk first gives the changing list a copy of that chunk.
//
// Every value carries a key, increasing along the list, so that a value
// whose key is known is found without a scan (see ValueIndex).
//
// A value that a shared chunk holds is never changed in place: Share marks
// the values of the chunks it shares `shared`, which the value calls
// honour.  Each chunk remembers that it is marked (frozen), so marking costs
// once per chunk, not once per snapshot.
//
// Thread-safety: a list is thread-compatible.  Lists sharing a chunk may be
// used from different threads (the chunk's count is atomic and a shared
// chunk is only read), except Share and Freeze, which mark values: call
// them with the list's owner to yourself (the directory's write lock for a
// stored entry).
#ifndef HV_HOST_VALUE_LIST_H
#define HV_HOST_VALUE_LIST_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

struct slapi_value;

namespace hv {

class ValueList {
  public:
    using Key = std::uint64_t;
    static constexpr std::size_t kChunk = 64;
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  private:
    struct Slot {
        Key key;
        slapi_value *value;  // owned by the chunk
    };
    struct Chunk {
        ~Chunk();
        std::atomic<int> refs{1};
        bool frozen = false;  // its values are marked shared
        std::vector<Slot> slots;  // never empty while in a list
    };
    struct Ref {
        Chunk *chunk;
        std::size_t end;  // values in this chunk and all before it
    };

  public:
    ValueList() = default;
    ~ValueList();
    ValueList(ValueList &&o) noexcept : chunks_(std::move(o.chunks_)) { o.chunks_.clear(); }
    ValueList &operator=(ValueList &&o) noexcept;
    // Copies are explicit: Share below, or new values by the caller.
    ValueList(const ValueList &) = delete;
    ValueList &operator=(const ValueList &) = delete;

    // A list of the same values in the same chunks, which are frozen first.
    ValueList Share() const;
    // Marks the values of every chunk not yet frozen `shared`.
    void Freeze() const;

    std::size_t size() const { return chunks_.empty() ? 0 : chunks_.back().end; }
    bool empty() const { return chunks_.empty(); }
    slapi_value *operator[](std::size_t i) const {
        auto [c, off] = Locate(i);
        return chunks_[c].chunk->slots[off].value;
    }
    slapi_value *front() const { return chunks_.front().chunk->slots.front().value; }
    slapi_value *back() const { return chunks_.back().chunk->slots.back().value; }
    Key KeyAt(std::size_t i) const {
        auto [c, off] = Locate(i);
        return chunks_[c].chunk->slots[off].key;
    }
    // Position of the value with key k, or npos.
    std::size_t Find(Key k) const;

    // Appends v, keyed after every value held; returns its key.
    Key push_back(std::unique_ptr<slapi_value> v);
    void pop_back();
    // Takes out the value at i and hands it back.
    std::unique_ptr<slapi_value> erase(std::size_t i);
    // Puts v back under key k (one erase handed out), in key order; k must
    // not be held.
    void Insert(Key k, std::unique_ptr<slapi_value> v);
    void clear();

    class const_iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = slapi_value *;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = slapi_value *;

        slapi_value *operator*() const { return ref_->chunk->slots[off_].value; }
        Key key() const { return ref_->chunk->slots[off_].key; }
        const_iterator &operator++() {
            if (++off_ == ref_->chunk->slots.size()) {
                ++ref_;
                off_ = 0;
            }
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator was = *this;
            ++*this;
            return was;
        }
        bool operator==(const const_iterator &o) const { return ref_ == o.ref_ && off_ == o.off_; }
        bool operator!=(const const_iterator &o) const { return !(*this == o); }

      private:
        friend class ValueList;
        const_iterator(const Ref *ref, std::size_t off) : ref_(ref), off_(off) {}
        const Ref *ref_;
        std::size_t off_;
    };
    const_iterator begin() const { return {chunks_.data(), 0}; }
    const_iterator end() const { return {chunks_.data() + chunks_.size(), 0}; }
    // Takes out the value at it, as erase by position does.
    std::unique_ptr<slapi_value> erase(const_iterator it);

  private:
    static void Release(Chunk *c);
    static void Mark(Chunk *c);
    // (chunk, offset) of position i.
    std::pair<std::size_t, std::size_t> Locate(std::size_t i) const;
    // Chunk c, this list's own (copied if shared), ready for a change.
    Chunk *Writable(std::size_t c);
    // Adds by to the ends of chunk from and after it.
    void Shift(std::size_t from, std::ptrdiff_t by);
    // After a removal from chunk c: drops it when empty, or merges it with
    // the next when both fit in one, so that chunks stay few.
    void Settle(std::size_t c);

    std::vector<Ref> chunks_;
};

}  // namespace hv

#endif  // HV_HOST_VALUE_LIST_H
