// Runtime heap, temporary blocks and small byte, string and random helpers.
#pragma once
#include "runtime/types.h"

// Heap kinds.
inline constexpr u8 OM_OS_MEM_MSG = 0;
inline constexpr u8 OM_OS_MEM_BUFFER = 1;
inline constexpr u8 OM_OS_MEM_TIMER = 2;
inline constexpr u8 OM_OS_MEM_LONG_TERM = 0xFF;  // zeroed and counted

// Memory from the runtime heap (16-byte aligned), or null.  Everything still
// allocated is released when the runtime stops.
[[nodiscard]] void* om_os_mem_alloc(u32 size, u8 kind);
void om_os_mem_free(void* memory, u8 kind);
// Long-term memory in use and its high-water mark.
u32 om_os_mem_long_term_total();
u32 om_os_mem_long_term_high();
// Allocations currently recorded (all kinds).
u32 om_os_mem_count();

// Temporary blocks (three of 18000 bytes as shipped).
[[nodiscard]] u8* Alloc_tmp_block(u32 size);
u8 Free_tmp_block(const void* data);  // 2 when it was in use, else 3
u32 om_os_tmp_block_largest_request();

// 0 when equal, else n - index of the first difference.
u32 om_os_memcmp(const void* a, const void* b, u32 n);
// Copies src with its NUL, at most n bytes (the last becomes NUL when n is
// reached); returns the bytes written, 0 for a null pointer or n = 0.
u16 om_os_strncpy(char* dst, const char* src, u16 n);
// Difference of the first differing characters as signed bytes; 0 when equal
// or the same pointer.
int om_os_strcmp(const char* a, const char* b);
u32 om_os_strlen(const char* s);

// The C standard's sample generator: seed = seed * 1103515245 + 12345,
// result (seed >> 16) & 0x7FFF.  One seed for the process.
void om_os_srand(u32 seed);
u16 om_os_rand();
