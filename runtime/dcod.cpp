// Message trace decoder: registration of the service table and the line
// formatter.  The tables themselves are in dcod_names.cpp.
#include "runtime/dcod.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/byte_order.h"

namespace {

constexpr size_t NAME_FIELD = 15;

// A registered row: the table row, its position in the list and its link.
struct reg_row {
  const dcod__service* row;
  u16 position;
};

struct registry {
  std::vector<reg_row> rows;         // rows[0] is the default ("L0") row
  u16 slot[256] = {};                // index into rows, 0 for ids without a row
  std::vector<std::string> clashes;  // verbose lines of rows whose id was taken
};

const registry& reg() {
  static const registry r = [] {
    registry x;
    x.rows.push_back({&dcod__services[0], 0});
    for (const dcod__service* s = &dcod__services[1]; s->entity != 0; ++s) {
      u16 index = static_cast<u16>(x.rows.size());
      if (x.slot[s->entity] == 0) {
        x.slot[s->entity] = index;
      } else {
        // The texts are cut to their buffers if ever longer; the clash report
        // goes to the console, best effort.
        char head[16];
        if (s->entity >= 0x20 && s->entity < 0x7F) (void)std::snprintf(head, sizeof head, "//\t%c", s->entity);
        else (void)std::snprintf(head, sizeof head, "//\t(%d)", s->entity);
        char text[160];
        (void)std::snprintf(text, sizeof text, "%s (%s) -- already assigned; will be decoded as \"%s\" interface;\n",
                            head, s->name, x.rows[x.slot[s->entity]].row->name);
        x.clashes.push_back(text);
      }
      x.rows.push_back({s, index});
    }
    return x;
  }();
  return r;
}

// Vocabularies that entities registered, by entity id.
std::atomic<const dcod__vocabulary*> vocabularies[256];

// A row's primitive names, body decoder and timer names, the registered
// vocabulary's first.
struct words {
  const dcod__name* prims;
  dcod__body_decoder body;
  const dcod__name* timers;
};
words words_of(ent_id_t e, const dcod__service* row) {
  words w{row->prims, row->body, row->timers};
  if (const dcod__vocabulary* v = vocabularies[e].load(std::memory_order_acquire)) {
    if (v->prims) w.prims = v->prims;
    if (v->body) w.body = v->body;
    if (v->timers) w.timers = v->timers;
  }
  return w;
}

// Switches.
bool pipe_form = true;
bool as_stored = true;

const reg_row& row_of(ent_id_t e) {
  const registry& r = reg();
  return r.rows[r.slot[e]];
}

// Body decoder of timer expiries: the timer's sequence number.
u32 timer_body(dcod__body& b) {
  if (b.m->length < 2) return 0;
  b.out->printf(" Seq nb = %d", b.word(0));
  return 2;
}

const char HEX[] = "0123456789abcdef";

}  // namespace

// ---------------------------------------------------------------------------
// Appender.

dcod__out::dcod__out(char* line, size_t size) : line_(line), size_(size), len_(0) {
  if (!line_ || size_ == 0) {
    size_ = 0;
    return;
  }
  len_ = strnlen(line_, size_ - 1);
  line_[len_] = '\0';
}

void dcod__out::text(const char* s) {
  if (!s) return;
  size_t n = std::strlen(s);
  size_t r = room();
  if (n > r) n = r;
  std::memcpy(line_ + len_, s, n);
  len_ += n;
  if (size_) line_[len_] = '\0';
}

void dcod__out::printf(const char* format, ...) {
  if (size_ == 0) return;
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(line_ + len_, size_ - len_, format, ap);
  va_end(ap);
  if (n <= 0) {
    line_[len_] = '\0';
    return;
  }
  size_t r = room();
  len_ += static_cast<size_t>(n) > r ? r : static_cast<size_t>(n);
  line_[len_] = '\0';
}

void dcod__out::printable(const u8* p, size_t n) {
  size_t r = room();
  if (n > r) n = r;
  for (size_t i = 0; i < n; ++i) line_[len_ + i] = (p[i] >= 0x20 && p[i] < 0x7F) ? static_cast<char>(p[i]) : '.';
  len_ += n;
  if (size_) line_[len_] = '\0';
}

u16 dcod__body::word(u32 offset) const {
  if (!m->data || offset + 2 > m->length) return 0;
  return swap16 ? get_be16(m->data + offset) : get_le16(m->data + offset);
}

// ---------------------------------------------------------------------------

void dcod__init(bool verbose) {
  pipe_form = true;
  as_stored = true;
  const registry& r = reg();
  if (verbose)
    for (const std::string& s : r.clashes) (void)std::fputs(s.c_str(), stdout);
}

void dcod__register_vocabulary(ent_id_t entity, const dcod__vocabulary* v) {
  vocabularies[entity].store(v, std::memory_order_release);
}

void dcod__set_pipe_form(bool on) { pipe_form = on; }
void dcod__set_byte_order(bool stored) { as_stored = stored; }

const char* dcod__entity_name(ent_id_t entity) { return row_of(entity).row->name; }

const char* dcod__lookup(const dcod__name* table, u32 code) {
  if (table)
    for (const dcod__name* n = table; n->code != DCOD__END; ++n)
      if (n->code == code) return n->name;
  return "?";
}

void dcod__format_view(const dcod__msg_view& view, char* line, size_t size, u32 max_bytes) {
  dcod__msg_view m = view;
  if (!m.data) m.length = 0;
  dcod__out o(line, size);
  if (o.room() == 0) return;
  const reg_row& src = row_of(m.from);
  const reg_row& dst = row_of(m.to);
  const reg_row& owner = src.position <= dst.position ? src : dst;
  const reg_row& other = &owner == &src ? dst : src;

  const words owner_words = words_of(&owner == &src ? m.from : m.to, owner.row);
  dcod__body b{&m, &o, owner_words.prims, nullptr, !as_stored};
  const dcod__name* other_prims = words_of(&owner == &src ? m.to : m.from, other.row).prims;
  dcod__body_decoder body = owner_words.body;
  if (m.from == ENT_TI) {
    b.prims = other_prims = words_of(m.to, dst.row).timers;
    body = timer_body;
  }

  const char sep = pipe_form ? '|' : ',';
  o.printf("%-3s%c%-3s%c", src.row->name, pipe_form ? '-' : ',', dst.row->name, sep);
  const size_t name_at = o.length();
  o.printf("%*s%c", static_cast<int>(NAME_FIELD), "", sep);
  if (pipe_form) o.printf("%4x:%2x:%4x%c%u:", m.nai, m.sapi, m.conn_id, m.chained ? '#' : '|', m.length);
  else o.printf("%4x,%2x,%4x,%c,%u:", m.nai, m.sapi, m.conn_id, m.chained ? 'B' : 'm', m.length);

  const u32 length = m.length;
  u32 shown = body ? body(b) : 0;
  if (shown > length) shown = length;

  // Primitive name into its reserved field.
  const char* name = b.fixed_name;
  char unknown[16];
  if (!name) {
    name = dcod__lookup(b.prims, m.code);
    if (name[0] == '?' && name[1] == '\0') name = dcod__lookup(other_prims, m.code);
    if (name[0] == '?' && name[1] == '\0') {
      if (m.code >= 0x20 && m.code < 0x7F) (void)std::snprintf(unknown, sizeof unknown, "'%c'", m.code);
      else (void)std::snprintf(unknown, sizeof unknown, "(0x%02x)", m.code);
      name = unknown;
    }
  }
  size_t field_end = name_at + NAME_FIELD;
  if (field_end > o.length()) field_end = o.length();
  for (size_t i = name_at; i < field_end && *name; ++i) o.line()[i] = *name++;

  // Hex dump of the bytes the body decoder did not show.
  u32 end = length - shown > max_bytes ? shown + max_bytes : length;
  char hex[4] = {' ', 0, 0, 0};
  for (u32 i = shown; i < end && o.room() >= 3; ++i) {
    hex[1] = HEX[m.data[i] >> 4];
    hex[2] = HEX[m.data[i] & 15];
    o.text(hex);
  }
}

dcod__msg_view dcod__view_of(const msg_t* m) {
  return {m->from, m->to, m->nai, m->sapi, m->conn_id, m->code, m->p_buffer != nullptr, Msg_data(m), Msg_data_size(m)};
}

void dcod__format_msg(const msg_t* m, char* line, size_t size, u32 max_bytes) {
  if (m) dcod__format_view(dcod__view_of(m), line, size, max_bytes);
}
