// Basic types of the entity runtime and the protocol layers built on it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/int_types.h"

typedef u8 ent_id_t;  // entity identifier
typedef u16 nai_t;    // network access interface number (session index)
typedef u8 code_t;    // primitive code

// Result bytes of the runtime and the protocol layers.
inline constexpr u8 OM_OS_OK = 2;
inline constexpr u8 OM_OS_NOK = 3;

// Header values of runtime-internal messages.
inline constexpr nai_t OM_OS_NAI_NONE = 0xFFFF;
inline constexpr u8 OM_OS_SAPI_NONE = 0xFF;
inline constexpr u16 OM_OS_CONN_NONE = 0xFFFF;
