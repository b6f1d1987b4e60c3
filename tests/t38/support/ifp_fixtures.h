// Helpers shared by the T.38 codec tests: building field lists and packets.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "t38/byte_chain.h"
#include "t38/ifp.h"

namespace kv::t38::testing {

struct field_def {
  uint8_t type;
  std::vector<uint8_t> data;  // in the fax engine's bit order
};

// Builds a field list from `pool`; each field holds at most 50 bytes.
t38_data_field* make_fields(t38_field_pool& pool, const std::vector<field_def>& defs);

// The field list as defs again (type and data of each object).
std::vector<field_def> fields_of(const t38_data_field* list);

// Encodes a packet given by its type byte and fields into flat bytes.
std::vector<uint8_t> encode_flat(uint8_t type_byte, const std::vector<field_def>& fields);

// The bytes of a byte_ref (flat or chained).
std::vector<uint8_t> bytes_of(chain_pool* pool, const byte_ref& ref);

// A chain of `pool` holding `in`, at most `per_buffer` bytes in each buffer.
chain_buf chain_of(chain_pool& pool, const std::vector<uint8_t>& in, std::size_t per_buffer);

bool operator==(const field_def& a, const field_def& b);

}  // namespace kv::t38::testing
