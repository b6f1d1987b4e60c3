// Table-driven keyword engine of the configuration files (glb.cfg, sessionx.cfg).
//
// Everything the engine knows about a file comes from three tables handed in by
// the caller: a section table, a keyword table and a value table.  The engine
// reads a file line by line into the value table, reads and overwrites single
// values by id, displays a value table with the origin of every value and writes
// the skeleton and help of a file from the same tables.
//
// The engine keeps no state between calls; callers that share one value table
// between threads must serialise their calls on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>
#include <memory>

#include "platform/int_types.h"

// Kinds of values.
inline constexpr u16 INI_TOOLS__BOOL = 1;
inline constexpr u16 INI_TOOLS__FILE = 2;
inline constexpr u16 INI_TOOLS__STR_ID = 3;
inline constexpr u16 INI_TOOLS__NUM = 4;
inline constexpr u16 INI_TOOLS__STRING = 5;
inline constexpr u16 INI_TOOLS__IP_ADD = 6;
inline constexpr u16 INI_TOOLS__BFI = 7;
inline constexpr u16 INI_TOOLS__CHAR = 8;

// States of a value.
inline constexpr u8 INI_TOOLS__IGNORED = 0;
inline constexpr u8 INI_TOOLS__UNDEFINED = 1;
inline constexpr u8 INI_TOOLS__DEFAULT = 2;
inline constexpr u8 INI_TOOLS__USER = 3;
inline constexpr u8 INI_TOOLS__USER_EMPTY = 4;
inline constexpr u8 INI_TOOLS__OVERWRITTEN = 5;
inline constexpr u8 INI_TOOLS__COMMENT = 6;

// Section ids with this bit are array sections ("[[name]]" headers).
inline constexpr u16 INI_TOOLS__ARRAY_SECTION = 0x8000;
// Element index of a value of a plain section.
inline constexpr u16 INI_TOOLS__NO_ELEMENT = 65535;
// Value id of a comment entry.
inline constexpr u16 INI_TOOLS__COMMENT_ID = 65535;

// Results of ini_tools__read_cfg_file.
inline constexpr u8 INI_TOOLS__UNKNOWN_KEYWORD = 3;
inline constexpr u8 INI_TOOLS__BAD_PARAMETER = 4;
inline constexpr u8 INI_TOOLS__ARRAY_ERROR = 5;
inline constexpr u8 INI_TOOLS__READ_DONE = 6;
inline constexpr u8 INI_TOOLS__CANT_OPEN = 7;
inline constexpr u8 INI_TOOLS__CANT_READ = 8;
inline constexpr u8 INI_TOOLS__INTERNAL_ERR_1 = 10;
inline constexpr u8 INI_TOOLS__INTERNAL_ERR_2 = 11;
inline constexpr u8 INI_TOOLS__ERR_MEM_ALLOC = 12;

// Results of the read and write operations by id (besides the states 0..5).
inline constexpr u8 INI_TOOLS__ERR_BAD_KIND = 20;
inline constexpr u8 INI_TOOLS__ERR_ID_NOT_FOUND = 21;
inline constexpr u8 INI_TOOLS__ERR_ALLOC = 22;
inline constexpr u8 INI_TOOLS__ERR_NOT_ARRAY = 23;
inline constexpr u8 INI_TOOLS__ERR_ELEMENT_INDEX = 30;

// Results of the writers (display, skeleton, help).
inline constexpr u8 INI_TOOLS__OUTPUT_OK = 2;
inline constexpr u8 INI_TOOLS__OUTPUT_STOP = 4;

// Name kinds of ini_tools__name.
inline constexpr u32 INI_TOOLS__C_PATH_NAME = 1;
inline constexpr u32 INI_TOOLS__VERBOSE_NAME = 2;

// IP record of an ip_add value.
inline constexpr u8 INI_TOOLS__IP_V4 = 4;
inline constexpr u8 INI_TOOLS__IP_NONE = 9;
struct ini_tools__ip {
  u8 family = INI_TOOLS__IP_NONE;
  u32 addr = 0;  // IPv4 address in network byte order
};

// One section (table ended by section_id 0).
struct ini_tools__section {
  char name[36];
  u16 section_id;
  const char* comment;           // help comment block, or nullptr
  const char* c_path_structure;  // "struct ..." or ""
};

// One name of a keyword (list ended by an empty name).
struct ini_tools__name {
  const char* name;
  u32 name_kind;
};

// One named value of a str_id or bfi keyword (list ended by an empty name).
struct ini_tools__value_name {
  char name[60];
  u32 value;
};

// One keyword (table ended by names == nullptr).
struct ini_tools__keyword {
  const ini_tools__name* names;
  u16 keyword_id;
  u16 section_id;
  u32 kind;
  const ini_tools__value_name* value_names;
  i32 min;
  i32 max;
  u16 value_id;
};

struct ini_tools__value;

// Descriptor of one array section's elements.
struct ini_tools__array {
  u16 count = 0;
  u16 max = 0;
  u16 records_per_element = 0;  // including the zero record ending an element
  ini_tools__value* elements = nullptr;
};

// The stored value of a record.  Texts, IP records and array descriptors are
// held by pointer, so the field is as wide as a pointer.
union ini_tools__datum {
  u8 byte;
  u16 id;
  u32 num;
  const char* text;
  ini_tools__ip* ip;
  ini_tools__array* array;
};
static_assert(sizeof(ini_tools__datum) >= sizeof(void*));

using ini_tools__comment_fn = const char* (*)();

// One record of a value table (table ended by value_id 0).
struct ini_tools__value {
  u16 value_id;
  u16 section_id;
  u8 state;
  u16 kind;
  ini_tools__datum value;
  u8 owned;  // 1 when the text or IP record was allocated by the engine
  u8 comment_is_function;
  const char* comment;
  ini_tools__comment_fn comment_fn;
};

// Size of one array section: its most elements.
struct ini_tools__array_size {
  u16 section_id;
  u16 max;
};

// Callbacks: the error callback takes one message of at most 254 characters;
// the output callback takes one text and returns INI_TOOLS__OUTPUT_STOP to stop
// the writer.
using ini_tools__error_cb = std::function<void(const char*)>;
using ini_tools__output_cb = std::function<u8(const char*)>;

// Owning storage of one value table: the records, the array descriptors and
// their element areas.  Built from a table of defaults; copies are deep.
class ini_tools__table {
 public:
  ini_tools__table() = default;
  ini_tools__table(const ini_tools__value* defaults, const ini_tools__array_size* sizes);
  ini_tools__table(const ini_tools__table& other);
  ini_tools__table& operator=(const ini_tools__table& other);
  ini_tools__table(ini_tools__table&&) noexcept = default;
  ini_tools__table& operator=(ini_tools__table&& other) noexcept;
  ~ini_tools__table();

  ini_tools__value* values() { return records_.data(); }
  const ini_tools__value* values() const { return records_.data(); }
  bool empty() const { return records_.empty(); }

 private:
  void release();
  std::vector<ini_tools__value> records_;
  std::vector<std::unique_ptr<ini_tools__array>> arrays_;
  std::vector<std::vector<ini_tools__value>> areas_;
};

// Releases the texts and IP records that the engine allocated in a table
// (elements of array sections included) and marks them not owned.
void ini_tools__release_values(ini_tools__value* table);

// Reads a configuration file into the value table.  Returns INI_TOOLS__READ_DONE
// or the first error (3, 4, 5, 7, 8, 10, 11, 12).
u8 ini_tools__read_cfg_file(const char* file_name, const ini_tools__section* sections,
                            const ini_tools__keyword* keywords, const ini_tools__error_cb& error_cb,
                            ini_tools__value* table);
// Same, from an open stream; file_name is used in the messages only.
u8 ini_tools__read_cfg_stream(std::FILE* stream, const char* file_name, const ini_tools__section* sections,
                              const ini_tools__keyword* keywords, const ini_tools__error_cb& error_cb,
                              ini_tools__value* table);

// Names compared without regard to case and to surrounding blanks.
bool ini_tools__names_match(const char* a, const char* b);

// Read and write by id.  element is INI_TOOLS__NO_ELEMENT for a plain section.
// A read returns the value's state (0..5) or an error; a write returns
// INI_TOOLS__OVERWRITTEN or an error.
u8 ini_tools__read_bool(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb, u8* out);
u8 ini_tools__read_file(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb,
                        const char** out);
u8 ini_tools__read_str_id(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb, u16* out);
u8 ini_tools__read_num(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb, u32* out);
u8 ini_tools__read_string(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb,
                          const char** out);
u8 ini_tools__read_ip_add(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb,
                          ini_tools__ip* out);
u8 ini_tools__read_bfi(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb, u32* out);
u8 ini_tools__read_char(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb, u8* out);

u8 ini_tools__write_bool(ini_tools__value* table, u16 id, u16 element, u8 value, const ini_tools__error_cb& error_cb);
u8 ini_tools__write_file(ini_tools__value* table, u16 id, u16 element, const char* value,
                         const ini_tools__error_cb& error_cb);
u8 ini_tools__write_str_id(ini_tools__value* table, u16 id, u16 element, u16 value,
                           const ini_tools__error_cb& error_cb);
u8 ini_tools__write_num(ini_tools__value* table, u16 id, u16 element, u32 value, const ini_tools__error_cb& error_cb);
u8 ini_tools__write_string(ini_tools__value* table, u16 id, u16 element, const char* value,
                           const ini_tools__error_cb& error_cb);
u8 ini_tools__write_ip_add(ini_tools__value* table, u16 id, u16 element, const ini_tools__ip& value,
                           const ini_tools__error_cb& error_cb);
u8 ini_tools__write_bfi(ini_tools__value* table, u16 id, u16 element, u32 value, const ini_tools__error_cb& error_cb);

// Writes the current values of a table with the origin of each value.
u8 ini_tools__display_values(const ini_tools__value* table, const ini_tools__section* sections,
                             const ini_tools__keyword* keywords, const ini_tools__output_cb& output);

// Skeleton (mode 0) or skeleton with comments (mode 1) of a value table.
u8 ini_tools__write_skeleton(int mode, const ini_tools__value* table, const ini_tools__section* sections,
                             const ini_tools__keyword* keywords, const ini_tools__output_cb& output);
// The header of one section (mode 0 or 1).
u8 ini_tools__write_section_help(int mode, u16 section_id, const ini_tools__value* table,
                                 const ini_tools__section* sections, const ini_tools__keyword* keywords,
                                 const ini_tools__output_cb& output);
// The part of one value record (indent "" or four blanks).
u8 ini_tools__write_keyword_help(int mode, const ini_tools__value& record, const char* indent,
                                 const ini_tools__keyword* keywords, const ini_tools__output_cb& output);

// Allocation used for the engine's texts and IP records; replaceable so that
// the handling of an exhausted heap can be exercised.  nullptr restores malloc.
using ini_tools__alloc_fn = void* (*)(std::size_t);
void ini_tools__set_allocator(ini_tools__alloc_fn fn);
