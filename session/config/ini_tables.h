// Shorthands for writing the configuration tables (names, defaults, comments).
// Included only by the files that define the glb.cfg and sessionx.cfg tables.
#pragma once

#include "session/config/ini_tools.h"

// A verbose name and a C-path name of a keyword.
#define INI_V(text) \
  ini_tools__name { text, INI_TOOLS__VERBOSE_NAME }
#define INI_C(text) \
  ini_tools__name { text, INI_TOOLS__C_PATH_NAME }
// A keyword's names list, ended by an empty name.
#define INI_NAMES(id, ...) constexpr ini_tools__name id[] = {__VA_ARGS__, ini_tools__name{"", 0}};

// Comment lines of a keyword ("KC" first line, "KL" further lines).
#define INI_KC(text) ";   : Comment   : " text "\n"
#define INI_KL(text) ";   :             " text "\n"
// Comment lines of a section.
#define INI_SC(text) ";: Comment            : " text "\n"
#define INI_SL(text) ";:                      " text "\n"
// Lines of a comment entry.
#define INI_CL(text) ";   : " text "\n"

// Every record of a default value table: value id, section id, state, kind,
// value, and a comment written as it stands or built at writing time by fn.
constexpr ini_tools__value ini_tables__record(u16 vid, u16 sec, u8 st, u32 kind, ini_tools__datum value,
                                              const char* comment, ini_tools__comment_fn fn = nullptr) {
  return ini_tools__value{vid, sec, st, static_cast<u16>(kind), value, 0, fn != nullptr ? u8{1} : u8{0}, comment, fn};
}

// Default value records: value id, section id, state, value, comment.
#define INI_D_BOOL(vid, sec, st, v, c) ini_tables__record(vid, sec, st, INI_TOOLS__BOOL, {.byte = (v)}, c)
#define INI_D_CHAR(vid, sec, st, v, c) ini_tables__record(vid, sec, st, INI_TOOLS__CHAR, {.byte = (v)}, c)
#define INI_D_STR_ID(vid, sec, st, v, c) ini_tables__record(vid, sec, st, INI_TOOLS__STR_ID, {.id = (v)}, c)
#define INI_D_NUM(vid, sec, st, v, c) ini_tables__record(vid, sec, st, INI_TOOLS__NUM, {.num = (v)}, c)
#define INI_D_BFI(vid, sec, st, v, c) ini_tables__record(vid, sec, st, INI_TOOLS__BFI, {.num = (v)}, c)
#define INI_D_STRING(vid, sec, st, v, c) ini_tables__record(vid, sec, st, INI_TOOLS__STRING, {.text = (v)}, c)
// Records without a default value.
#define INI_D_FILE(vid, sec, st, c) ini_tables__record(vid, sec, st, INI_TOOLS__FILE, {.text = nullptr}, c)
#define INI_D_IP(vid, sec, st, c) ini_tables__record(vid, sec, st, INI_TOOLS__IP_ADD, {.ip = nullptr}, c)
// A record whose comment is built at writing time.
#define INI_D_WITH_FN(rec_kind, vid, sec, st, datum, fn) ini_tables__record(vid, sec, st, rec_kind, datum, nullptr, fn)
// A comment entry, and the end of the table.
#define INI_D_COMMENT(sec, c) ini_tables__record(INI_TOOLS__COMMENT_ID, sec, INI_TOOLS__COMMENT, 0, {.num = 0}, c)
#define INI_D_COMMENT_FN(sec, fn) \
  ini_tables__record(INI_TOOLS__COMMENT_ID, sec, INI_TOOLS__COMMENT, 0, {.num = 0}, nullptr, fn)
#define INI_D_END ini_tables__record(0, 0, 0, 0, {.num = 0}, nullptr)
