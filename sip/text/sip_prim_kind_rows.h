// Rows of the per-kind header tables of the SIP primitive, as constant data
// that other tables (the session-control side's header map) can be derived
// from and checked against at compile time.
#pragma once

#include "sip/text/sip_prim_kind.h"

namespace sip_kind_rows {

inline constexpr sip_kind_hdr_row M(unsigned id) { return {static_cast<sip_header_id>(id), SIP_ROW_MANDATORY}; }
inline constexpr sip_kind_hdr_row O(unsigned id) { return {static_cast<sip_header_id>(id), SIP_ROW_OPTIONAL}; }

// Rows in slot order (not numeric order): Referred-By (78) stands where each
// table puts it, and the ACK table leads with an optional status line.
inline constexpr sip_kind_hdr_row rows_invite_rq[] = {
    M(1),  O(3),  O(4),  O(5),  O(6),  O(7),  O(9),  M(10), O(11), M(12), O(13), O(14), O(15), O(17), O(19),
    O(20), O(22), M(23), O(24), O(25), O(26), O(27), O(29), O(30), O(31), O(32), O(33), O(34), O(36), O(37),
    O(39), O(40), O(41), O(42), O(78), O(43), O(44), O(45), O(46), O(48), O(51), O(52), O(53), O(54), O(55),
    M(56), O(58), M(59), O(62), O(63), O(64), O(65), O(66), O(67), O(68), O(69), O(70), O(83)};
inline constexpr sip_kind_hdr_row rows_invite_rs[] = {
    M(2),  O(3),  O(4),  O(5),  O(7),  O(6),  O(8),  O(10), O(11), O(12), O(13), O(14), O(15), O(17),
    O(19), O(20), O(21), O(22), M(23), O(24), O(27), O(29), O(30), O(31), O(32), O(33), O(34), O(37),
    O(38), O(41), O(42), O(44), O(46), O(47), O(49), O(51), O(52), O(54), O(55), M(56), O(57), O(58),
    M(59), O(60), O(61), O(62), O(63), O(64), O(65), O(66), O(67), O(68), O(69), O(70), O(83)};
inline constexpr sip_kind_hdr_row rows_ack_rq[] = {O(2),  M(1),  O(7),  O(9),  O(10), O(12), O(13), O(14), O(15), O(17),
                                                   O(19), M(23), O(26), O(27), O(37), O(39), O(40), O(41), O(42), O(45),
                                                   O(46), O(48), O(52), O(55), M(56), O(58), M(59), O(62), O(63), O(64),
                                                   O(65), O(66), O(67), O(68), O(69), O(70), O(83)};
inline constexpr sip_kind_hdr_row rows_options_rq[] = {
    M(1),  O(3),  O(4),  O(5),  O(7),  O(9),  M(10), O(11), O(12), O(13), O(14), O(15), O(17), O(19), M(23), O(24),
    O(26), O(27), O(30), O(31), O(34), O(37), O(39), O(40), O(41), O(78), O(42), O(45), O(46), O(48), O(52), O(54),
    O(55), M(56), O(57), O(58), M(59), O(62), O(63), O(64), O(65), O(66), O(67), O(68), O(69), O(70), O(83)};
inline constexpr sip_kind_hdr_row rows_options_rs[] = {
    M(2),  O(3),  O(4),  O(5),  O(7),  O(8),  O(11), O(12), O(13), O(14), O(15), O(17), O(19), O(21), M(23),
    O(24), O(27), O(30), O(31), O(34), O(37), O(38), O(42), O(46), O(47), O(49), O(52), O(54), O(55), M(56),
    O(57), O(58), M(59), O(60), O(61), O(62), O(63), O(64), O(65), O(66), O(67), O(68), O(69), O(70), O(83)};
inline constexpr sip_kind_hdr_row rows_bye_rq[] = {
    M(1),  O(3),  O(4),  O(5),  O(7),  O(9),  O(13), O(14), O(15), O(17), O(19), M(23), O(26), O(27),
    O(31), O(34), O(37), O(39), O(40), O(41), O(42), O(78), O(45), O(46), O(48), O(52), O(54), O(55),
    M(56), O(58), M(59), O(62), O(63), O(64), O(65), O(66), O(67), O(68), O(69), O(70), O(83)};
inline constexpr sip_kind_hdr_row rows_bye_rs[] = {
    M(2),  O(3),  O(4),  O(5),  O(7),  O(8),  O(12), O(13), O(14), O(15), O(17), O(19), O(21), M(23),
    O(27), O(31), O(34), O(37), O(38), O(42), O(46), O(47), O(49), O(52), O(54), O(55), M(56), O(57),
    O(58), M(59), O(60), O(61), O(62), O(63), O(64), O(65), O(66), O(67), O(68), O(69), O(70), O(83)};
inline constexpr sip_kind_hdr_row rows_cancel_rq[] = {M(1),  O(3),  O(4),  O(5),  O(7),  O(9),  O(19),
                                                      M(23), O(26), O(37), O(41), O(42), O(45), O(48),
                                                      O(52), O(54), O(55), M(56), O(58), M(59)};
inline constexpr sip_kind_hdr_row rows_cancel_rs[] = {M(2),  O(3),  O(4),  O(5),  O(7),  O(19), O(21),
                                                      M(23), O(37), O(38), O(42), O(47), O(49), O(52),
                                                      O(54), O(55), M(56), O(58), M(59), O(60)};
inline constexpr sip_kind_hdr_row rows_register_rq[] = {
    M(1),  O(3),  O(4),  O(5),  O(7),  O(9),  M(10), O(11), O(12), O(13), O(14), O(15), O(17), O(19), O(22), M(23),
    O(24), O(26), O(27), O(30), O(35), O(37), O(39), O(40), O(41), O(42), O(78), O(45), O(46), O(48), O(52), O(53),
    O(54), O(55), M(56), O(58), M(59), O(62), O(63), O(64), O(65), O(66), O(67), O(68), O(69), O(70), O(83)};
inline constexpr sip_kind_hdr_row rows_register_rs[] = {
    M(2),  O(3),  O(4),  O(5),  O(7),  O(8),  O(11), O(12), O(13), O(14), O(15), O(17), O(19), O(21), O(22), M(23),
    O(24), O(27), O(28), O(30), O(35), O(37), O(38), O(42), O(46), O(47), O(49), O(50), O(52), O(54), O(55), M(56),
    O(57), O(58), M(59), O(60), O(61), O(62), O(63), O(64), O(65), O(66), O(67), O(68), O(69), O(70), O(83)};

}  // namespace sip_kind_rows
