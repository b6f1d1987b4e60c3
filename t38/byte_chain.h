// Byte chains as the PER codec and the IFP layer walk them.
//
// A chain is a linked sequence of buffers, each with a data area, a filled
// size and a link to the next one.  The codec never knows how buffers are
// kept: it reaches them through a `chain_pool`, so that the same cursor runs
// over the heap buffers below and over the runtime's pool buffers (an
// adapter implementing `chain_pool` over them).  A flat caller area needs no
// pool at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/int_types.h"

namespace kv::t38 {

// Opaque handle of one buffer of a chain; null ends a chain.
using chain_buf = void*;

class chain_pool {
 public:
  virtual ~chain_pool() = default;
  // A buffer with its whole data area cleared, data size 0 and no next
  // buffer, or null when none can be had.
  virtual chain_buf alloc() = 0;
  // A buffer whose data the caller writes before anything reads it: data
  // size 0 and no next buffer, its data area left as it was.
  virtual chain_buf alloc_for_writing() { return alloc(); }
  // Frees every buffer of the chain starting at `first` (null is ignored).
  virtual void release(chain_buf first) = 0;
  // Data room of one buffer in bytes.
  virtual u16 capacity() const = 0;
  virtual u8* data(chain_buf b) = 0;
  virtual u16 size(chain_buf b) const = 0;
  virtual void set_size(chain_buf b, u16 size) = 0;
  virtual chain_buf next(chain_buf b) const = 0;
  virtual void set_next(chain_buf b, chain_buf next) = 0;

  // What the codec asks for each packet, each in one call: a buffer taken as
  // alloc_for_writing takes it, with its data area and the room of that area
  // (null when none can be had) ...
  virtual chain_buf alloc_area(u8** area, u16* room) = 0;
  // ... and the bytes of b's data from *at to their end, with *at moved to
  // the start of the data when it does not point inside them.
  virtual u32 bytes_from(chain_buf b, const u8** at) = 0;
};

// The calls of chain_pool that follow from the others, written once for a
// pool class P: P derives from chain_pool_of<P> and, being final, is reached
// here through its own functions without a further virtual call.
template <class P>
class chain_pool_of : public chain_pool {
 public:
  chain_buf alloc() final {
    chain_buf b = self().alloc_for_writing();
    if (b != nullptr) std::memset(self().data(b), 0, self().capacity());
    return b;
  }
  chain_buf alloc_area(u8** area, u16* room) final {
    chain_buf b = self().alloc_for_writing();
    if (b != nullptr) {
      *area = self().data(b);
      *room = self().capacity();
    }
    return b;
  }
  u32 bytes_from(chain_buf b, const u8** at) final {
    const u8* begin = self().data(b);
    const u8* end = begin + self().size(b);
    if (*at == nullptr || *at < begin || *at > end) *at = begin;
    return static_cast<u32>(end - *at);
  }

 private:
  P& self() { return static_cast<P&>(*this); }
};

// Bytes held either in one flat area (`chain` null) or in a chain, starting at
// `first` inside the chain's first buffer and running on through the next
// buffers for `length` bytes in all.
struct byte_ref {
  const u8* first = nullptr;
  u32 length = 0;
  chain_buf chain = nullptr;
};

// Buffers on the heap, counted so that tests can see leaks, with an optional
// limit to play pool exhaustion.
class heap_chain_pool final : public chain_pool_of<heap_chain_pool> {
 public:
  explicit heap_chain_pool(u16 capacity = 1600, std::size_t limit = SIZE_MAX) : capacity_(capacity), limit_(limit) {}
  ~heap_chain_pool() override = default;
  heap_chain_pool(const heap_chain_pool&) = delete;
  heap_chain_pool& operator=(const heap_chain_pool&) = delete;

  chain_buf alloc_for_writing() override;
  void release(chain_buf first) override;
  u16 capacity() const override { return capacity_; }
  u8* data(chain_buf b) override;
  u16 size(chain_buf b) const override;
  void set_size(chain_buf b, u16 size) override;
  chain_buf next(chain_buf b) const override;
  void set_next(chain_buf b, chain_buf next) override;

  std::size_t live() const { return live_; }
  void set_limit(std::size_t limit) { limit_ = limit; }

 private:
  u16 capacity_;
  std::size_t limit_;
  std::size_t live_ = 0;
};

// Copies `ref` into `out` (room `room`); returns the bytes copied, which is
// ref.length unless the room or the chain ran short.
std::size_t copy_bytes(chain_pool* pool, const byte_ref& ref, u8* out, std::size_t room);

// Builds a chain holding `bytes`, buffers filled to the pool's capacity;
// null when a buffer cannot be had (nothing is left allocated then).
chain_buf store_in_chain(chain_pool& pool, const u8* bytes, std::size_t length);

}  // namespace kv::t38
