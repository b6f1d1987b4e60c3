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

// Default value records: value id, section id, state, value, comment.
#define INI_D_BOOL(vid, sec, st, v, c) \
  ini_tools__value { vid, sec, st, INI_TOOLS__BOOL, ini_tools__datum{.byte = (v)}, 0, 0, c, nullptr }
#define INI_D_FILE(vid, sec, st, c) \
  ini_tools__value { vid, sec, st, INI_TOOLS__FILE, ini_tools__datum{.text = nullptr}, 0, 0, c, nullptr }
#define INI_D_STR_ID(vid, sec, st, v, c) \
  ini_tools__value { vid, sec, st, INI_TOOLS__STR_ID, ini_tools__datum{.id = (v)}, 0, 0, c, nullptr }
#define INI_D_NUM(vid, sec, st, v, c) \
  ini_tools__value { vid, sec, st, INI_TOOLS__NUM, ini_tools__datum{.num = (v)}, 0, 0, c, nullptr }
#define INI_D_STRING(vid, sec, st, v, c) \
  ini_tools__value { vid, sec, st, INI_TOOLS__STRING, ini_tools__datum{.text = (v)}, 0, 0, c, nullptr }
#define INI_D_IP(vid, sec, st, c) \
  ini_tools__value { vid, sec, st, INI_TOOLS__IP_ADD, ini_tools__datum{.ip = nullptr}, 0, 0, c, nullptr }
#define INI_D_BFI(vid, sec, st, v, c) \
  ini_tools__value { vid, sec, st, INI_TOOLS__BFI, ini_tools__datum{.num = (v)}, 0, 0, c, nullptr }
#define INI_D_CHAR(vid, sec, st, v, c) \
  ini_tools__value { vid, sec, st, INI_TOOLS__CHAR, ini_tools__datum{.byte = (v)}, 0, 0, c, nullptr }
// A record whose comment is built at writing time.
#define INI_D_WITH_FN(rec_kind, vid, sec, st, datum, fn) \
  ini_tools__value { vid, sec, st, rec_kind, datum, 0, 1, nullptr, fn }
// A comment entry.
#define INI_D_COMMENT(sec, c) \
  ini_tools__value { INI_TOOLS__COMMENT_ID, sec, INI_TOOLS__COMMENT, 0, ini_tools__datum{.num = 0}, 0, 0, c, nullptr }
#define INI_D_COMMENT_FN(sec, fn) \
  ini_tools__value { INI_TOOLS__COMMENT_ID, sec, INI_TOOLS__COMMENT, 0, ini_tools__datum{.num = 0}, 0, 1, nullptr, fn }
#define INI_D_END \
  ini_tools__value { 0, 0, 0, 0, ini_tools__datum{.num = 0}, 0, 0, nullptr, nullptr }
