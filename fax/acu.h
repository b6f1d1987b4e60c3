// The V.25 call set-up service ENT_ACU: the tone part of call set-up and
// answer for the fax automaton. Tones are sent and detected by the T.38
// entity's IAF signal service (SAPI 18). Each request becomes a short
// command string ('.' ends it) that an interpreter walks one command at a
// time, driven by tone indications and three timers:
//   '<' / 'S'  listen for CED and the busy tones, send CNG; wait
//   '>' / 'u'  wait the answer delay, then send CED (or not); wait
//   'H' hang up   'I' wait the start-up delay   'K' clear   'c' inter-call
//   wait   'i' ready   '.' end
// Command strings are checked before they run: an unknown letter, a string
// without its end mark or one longer than the command area is refused with
// its error code and nothing of it runs.
//
// Configuration (SM_CONFIG_RQ from ENT_SM): a 12-byte header (u16 entry
// count at 4, user entity at 6) and one 128-byte entry (u16 nai at 0, lower
// entity at 2, signal SAPI at 3, times in ms as u32 at 16 ('I' delay), 20
// (inter-call), 56 (watchdog), 64 (answer delay), 68 (hold after CED));
// without data the built-in entry is taken. Answer SM_CONFIG_CO {2 or 3,
// error code, detail}.
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/types.h"

// Primitives with the user.
inline constexpr code_t ACU_CONN_RQ = 'A', ACU_CONN_RS = 'B', ACU_CLEAR_RQ = 'C', ACU_CLEAR_RS = 'D', ACU_INFO_RQ = 'G',
                        ACU_INIT_RQ = 'H', ACU_SETPARM_RQ = 'I';
inline constexpr code_t ACU_CONN_IN = 'a', ACU_CONN_CO = 'b', ACU_CLEAR_IN = 'c', ACU_CLEAR_CO = 'd',
                        ACU_ALERT_IN = 'e', ACU_PROGRESS_IN = 'f', ACU_INFO_CO = 'g', ACU_INIT_CO = 'h',
                        ACU_SETPARM_CO = 'i';

inline constexpr u16 ACU_SLOTS = 63;
inline constexpr size_t ACU_COMMAND_AREA = 32;  // bytes of a context's command string
inline constexpr size_t ACU_ENTRY_SIZE = 128;
inline constexpr size_t ACU_HEADER_SIZE = 12;

// Error codes of configuration answers and of refused command strings.
enum acu_error : u8 {
  ACU_OK = 0,
  ACU_ERR_NAI_CONFIGURED = 129,
  ACU_ERR_ENTRIES = 130,  // more than one entry, or nai out of range
  ACU_ERR_NO_MEMORY = 145,
  ACU_ERR_NO_TIMER = 146,
  ACU_ERR_COMMAND_LETTER = 150,  // a command string holds an unknown letter
  ACU_ERR_COMMAND_END = 151,     // a command string without its end mark
  ACU_ERR_COMMAND_LENGTH = 152,  // a command string longer than the area
  ACU_ERR_NOT_CONFIGURED = 161,
  ACU_ERR_NO_CONTEXT = 162,
  ACU_ERR_NAI_RANGE = 163,
};

// Checks a command string (up to and including its end mark; bytes after
// the mark are not read) against a command area of `area` bytes.
[[nodiscard]] acu_error acu_check_commands(std::string_view commands, size_t area = ACU_COMMAND_AREA);

// Loads a command string into the context of `nai` and runs it when the
// context is idle; the check's error code (nothing runs on an error), or
// ACU_ERR_NO_CONTEXT.
[[nodiscard]] acu_error acu_run_commands(nai_t nai, std::string_view commands);

void acu_entity_handler(msg_t* m);
// Drops every context (no messages are sent): for the end of the runtime
// and for tests.
void acu_release_all();
// Registration: acu_release_all becomes the entity's stop routine.
void acu_entity_init();
inline constexpr entity_table_row_t ACU_ENTITY_ROW = {ENT_ACU, acu_entity_handler, 0, 0, acu_entity_init, 0};
