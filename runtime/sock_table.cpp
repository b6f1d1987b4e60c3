// The socket entity's table: open addressing over (sapi, nai, conn_id) with
// downward probing, and the list of records in creation order.
#include <cstring>
#include <new>

#include "common/byte_order.h"
#include "runtime/mem.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/sock_config.h"
#include "runtime/sock_internal.h"

using namespace sock_rt;

namespace sock_ent {

// ---------------------------------------------------------------------------
// Socket table: open addressing, downward probing.

constexpr u32 TABLE_PRIMES[] = {
    2,      3,      5,      7,      11,     13,     17,     19,     23,     29,     31,     37,     41,     43,
    47,     53,     59,     61,     67,     71,     73,     79,     83,     89,     97,     101,    103,    107,
    109,    113,    127,    137,    149,    151,    157,    163,    167,    173,    179,    181,    191,    193,
    197,    199,    211,    223,    227,    229,    233,    239,    241,    251,    257,    263,    269,    271,
    277,    281,    283,    293,    307,    311,    313,    317,    331,    337,    347,    353,    367,    373,
    379,    389,    401,    419,    421,    433,    443,    457,    467,    479,    499,    509,    521,    541,
    547,    563,    577,    593,    607,    631,    641,    659,    673,    691,    709,    727,    751,    769,
    787,    809,    829,    853,    877,    907,    919,    947,    971,    997,    1019,   1049,   1087,   1103,
    1151,   1163,   1193,   1223,   1259,   1289,   1327,   1361,   1399,   1433,   1471,   1511,   1549,   1597,
    1637,   1693,   1721,   1777,   1811,   1861,   1907,   1973,   2011,   2063,   2129,   2179,   2237,   2287,
    2347,   2411,   2473,   2539,   2609,   2677,   2749,   2819,   2897,   2969,   3049,   3137,   3209,   3299,
    3389,   3469,   3559,   3659,   3761,   3851,   3967,   4057,   4177,   4271,   4391,   4507,   4621,   4751,
    4871,   4999,   5147,   5261,   5407,   5557,   5689,   5839,   6007,   6151,   6317,   6481,   6653,   6827,
    7013,   7193,   7393,   7577,   7789,   7993,   8209,   8419,   8641,   8861,   9103,   9337,   9587,   9833,
    10093,  10369,  10631,  10937,  11213,  11497,  11801,  12113,  12433,  12763,  13099,  13441,  13799,  14173,
    14537,  14923,  15313,  15727,  16139,  16561,  16993,  17443,  17903,  18379,  18869,  19373,  19889,  20399,
    20939,  21487,  22063,  22637,  23251,  23857,  24481,  25121,  25793,  26479,  27179,  27883,  28619,  29383,
    30161,  30949,  31769,  32603,  33461,  34351,  35251,  36187,  37139,  38119,  39133,  40153,  41213,  42307,
    43427,  44579,  45751,  46957,  48187,  49463,  50767,  52121,  53503,  54907,  56359,  57829,  59357,  60923,
    62533,  64187,  65881,  67619,  69401,  71233,  73121,  75079,  77029,  79063,  81157,  83299,  85487,  87743,
    90059,  92459,  94889,  97381,  99961,  102593, 105319, 108079, 110933, 113891, 116867, 119953, 123121, 126397,
    129707, 133153, 136649, 140263, 143971, 147761, 151667, 155663, 159769, 163987, 168323, 172759, 177319, 182009,
    186841, 191747, 196799, 201997, 207329, 212801, 218417, 224197, 230101, 236207, 242413, 248813, 255383, 262121,
    269041, 276151, 283447, 290923, 298601, 306479, 314569, 322877, 331399, 340169, 349133, 358349, 367819, 377513,
    387493, 397721, 408209, 418987, 430057, 441403, 453053, 465011, 477293, 489887, 502829, 516127, 529723, 543707,
    558067, 572791, 587927, 603443, 619363, 635729, 652499, 669733, 687403, 705559, 724187, 743297, 762917, 783077,
    803729, 824947, 846733, 869081, 892027, 915587, 939749, 964559, 990013,
};
static_assert(sizeof TABLE_PRIMES / sizeof TABLE_PRIMES[0] == 373, "socket table sizes");

table_state tbl;

u32 table_home(u8 sapi, u16 nai, u16 conn_id) {
  const u32 key = ((static_cast<u32>(sapi) * 16u) | nai) * 16u + conn_id;
  return key % static_cast<u32>(tbl.slots.size());
}

u32 table_index_of(u8 sapi, u16 nai, u16 conn_id, bool* found) {
  const u32 size = static_cast<u32>(tbl.slots.size());
  u32 i = table_home(sapi, nai, conn_id);
  for (u32 probes = 0; probes < size; ++probes) {
    sock_rec* r = tbl.slots[i];
    if (!r) break;
    if (r->sapi == sapi && r->nai == nai && r->conn_id == conn_id) {
      *found = true;
      return i;
    }
    i = i == 0 ? size - 1 : i - 1;
  }
  *found = false;
  return i;
}

sock_rec* table_find(u8 sapi, u16 nai, u16 conn_id) {
  if (tbl.slots.empty()) return nullptr;
  bool found = false;
  u32 i = table_index_of(sapi, nai, conn_id, &found);
  return found ? tbl.slots[i] : nullptr;
}

void table_insert(sock_rec* r) {
  bool found = false;
  u32 i = table_index_of(r->sapi, r->nai, r->conn_id, &found);
  tbl.slots[i] = r;
  ++tbl.count;
}

// Removes a record; later entries of its probe run move back so that no
// search stops early at the freed slot.
void table_remove(sock_rec* r) {
  if (tbl.slots.empty()) return;
  bool found = false;
  u32 i = table_index_of(r->sapi, r->nai, r->conn_id, &found);
  if (!found) return;
  const u32 size = static_cast<u32>(tbl.slots.size());
  tbl.slots[i] = nullptr;
  --tbl.count;
  u32 j = i;
  for (;;) {
    j = j == 0 ? size - 1 : j - 1;
    sock_rec* e = tbl.slots[j];
    if (!e) break;
    const u32 home = table_home(e->sapi, e->nai, e->conn_id);
    // Probing runs downwards from home: e may fill the hole at i when i lies
    // on its path between home and j.
    const u32 dist_hole = (home + size - i) % size;
    const u32 dist_here = (home + size - j) % size;
    if (dist_hole <= dist_here) {
      tbl.slots[i] = e;
      tbl.slots[j] = nullptr;
      i = j;
    }
  }
}

void list_remove(sock_rec* r) {
  for (auto it = tbl.list.begin(); it != tbl.list.end(); ++it) {
    if (*it == r) {
      tbl.list.erase(it);
      return;
    }
  }
}

u32 table_size_for(u16 max_nai) {
  const u32 want = 2u * max_nai + 1u;
  for (u32 p : TABLE_PRIMES)
    if (p > want) return p;
  return TABLE_PRIMES[sizeof TABLE_PRIMES / sizeof TABLE_PRIMES[0] - 1];
}

}  // namespace sock_ent
