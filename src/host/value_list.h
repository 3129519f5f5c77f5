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
// chunk is only read), except Share and Freeze, which may mark values: call
// them with the list to yourself (the directory's write lock for a stored
// entry).  On a snapshot, whose chunks are all frozen, they only read.
#ifndef HV_HOST_VALUE_LIST_H
#define HV_HOST_VALUE_LIST_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <utility>

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
    // Its slots follow it in the same allocation (see NewChunk): a small
    // attribute costs one allocation for its values' places.
    struct alignas(Slot) Chunk {
        std::atomic<int> refs{1};
        std::uint8_t size = 0;  // never 0 while in a list
        std::uint8_t cap = 0;
        bool frozen = false;  // its values are marked shared
        Slot *slots() { return reinterpret_cast<Slot *>(this + 1); }
        Slot &back() { return slots()[size - 1]; }
    };
    static_assert(kChunk <= 255, "chunk sizes are kept in a byte");
    struct Ref {
        Chunk *chunk;
        std::size_t end;  // values in this chunk and all before it
    };
    // The list's chunks: one is kept in place, as most attributes have a
    // few values; more go to the heap.  A vector of trivially copied Refs.
    class Refs {
      public:
        Refs() : one_{} {}
        Refs(const Refs &o);
        Refs &operator=(const Refs &o);
        Refs(Refs &&o) noexcept;
        Refs &operator=(Refs &&o) noexcept;
        ~Refs() { Free(); }
        Ref *data() { return cap_ <= 1 ? &one_ : heap_; }
        const Ref *data() const { return cap_ <= 1 ? &one_ : heap_; }
        Ref *begin() { return data(); }
        Ref *end() { return data() + size_; }
        const Ref *begin() const { return data(); }
        const Ref *end() const { return data() + size_; }
        std::size_t size() const { return size_; }
        bool empty() const { return size_ == 0; }
        Ref &operator[](std::size_t i) { return data()[i]; }
        const Ref &operator[](std::size_t i) const { return data()[i]; }
        Ref &front() { return data()[0]; }
        const Ref &front() const { return data()[0]; }
        Ref &back() { return data()[size_ - 1]; }
        const Ref &back() const { return data()[size_ - 1]; }
        void insert(Ref *at, Ref r);
        void push_back(Ref r) { insert(end(), r); }
        void erase(Ref *at);
        void clear() {
            Free();
            size_ = 0;
            cap_ = 1;
        }

      private:
        void Free() {
            if (cap_ > 1) delete[] heap_;
        }
        union {
            Ref one_;
            Ref *heap_;
        };
        std::uint32_t size_ = 0;
        std::uint32_t cap_ = 1;  // 1: one_ in use
    };
    struct Unref {
        void operator()(Chunk *c) const { Release(c); }
    };
    using ChunkPtr = std::unique_ptr<Chunk, Unref>;

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
        return chunks_[c].chunk->slots()[off].value;
    }
    slapi_value *front() const { return chunks_.front().chunk->slots()[0].value; }
    slapi_value *back() const { return chunks_.back().chunk->back().value; }
    Key KeyAt(std::size_t i) const {
        auto [c, off] = Locate(i);
        return chunks_[c].chunk->slots()[off].key;
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

        slapi_value *operator*() const { return ref_->chunk->slots()[off_].value; }
        Key key() const { return ref_->chunk->slots()[off_].key; }
        const_iterator &operator++() {
            if (++off_ == ref_->chunk->size) {
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
    // A chunk of room for cap values, none held yet.
    static Chunk *NewChunk(std::size_t cap);
    static void Release(Chunk *c);
    static void Mark(Chunk *c);
    // (chunk, offset) of position i.
    std::pair<std::size_t, std::size_t> Locate(std::size_t i) const;
    // Chunk c, this list's own (copied if shared), ready for a change that
    // adds room values.
    Chunk *Writable(std::size_t c, std::size_t room);
    // Adds by to the ends of chunk from and after it.
    void Shift(std::size_t from, std::ptrdiff_t by);
    // After a removal from chunk c: drops it when empty, or merges it with
    // the next when both fit in one, so that chunks stay few.
    void Settle(std::size_t c);

    Refs chunks_;
};

}  // namespace hv

#endif  // HV_HOST_VALUE_LIST_H
