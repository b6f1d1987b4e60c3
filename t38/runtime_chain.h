// The runtime's buffer chains (buffer_t) as byte chains for the PER codec,
// the UDPTL and IFP codecs and the TPKT reassembler.  Buffers come from and
// go back to the runtime's normal buffer pool; a buffer taken here carries
// link count 1, ready to hang on a message.
#pragma once

#include "runtime/buffer.h"
#include "t38/byte_chain.h"
#include "platform/int_types.h"

namespace kv::t38 {

class runtime_chain_pool final : public chain_pool_of<runtime_chain_pool> {
 public:
  chain_buf alloc_for_writing() override;
  void release(chain_buf first) override;
  u16 capacity() const override;
  u8* data(chain_buf b) override;
  u16 size(chain_buf b) const override;
  void set_size(chain_buf b, u16 size) override;
  chain_buf next(chain_buf b) const override;
  void set_next(chain_buf b, chain_buf next) override;
};

// The one adapter every T.38 session uses.
runtime_chain_pool& t38_runtime_chains();

inline chain_buf as_chain(buffer_t* b) { return b; }
inline buffer_t* as_buffer(chain_buf b) { return static_cast<buffer_t*>(b); }

}  // namespace kv::t38
