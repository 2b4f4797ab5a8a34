// The layouts of the replies whose shape is fixed by the command that asked for them: what
// INFO holds, field by field, with the lists whose length a count byte announces. From a
// reply's counts the layout gives the one INFO length a reply of that command can have, so a
// reply of another command (a late answer to an earlier command of the same group, say) is
// told apart before anything of it is decoded. Header-only: the driver checks its replies with
// it, the simulator's tests check what it sends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/codes.h"

namespace protocol {

// One item of a layout, in the order INFO holds them.
struct LayoutItem {
    enum Kind : uint8_t {
        Bytes,        // `size` bytes
        CountedBytes, // a count byte, then that many bytes
        CountedPairs, // a count byte, then that many 16-bit values
        Records,      // a count byte, then that many records: the items up to RecordsEnd
        RecordsEnd,
    };
    Kind kind;
    uint8_t size = 0;
};

struct ReplyLayout {
    uint8_t group;   // CID1
    uint8_t command; // CID2 of the command answered
    const LayoutItem *items;
    size_t count;
};

namespace layout_items {
using I = LayoutItem;
constexpr I kFlagAndUnits{I::Bytes, 2}; // data flag, distribution units
constexpr I kFlag{I::Bytes, 1};

// AC: lines x (ua ub uc f, P user values) | ia ib ic
inline constexpr I kAcAnalogue[] = {kFlagAndUnits,     {I::Records},    {I::Bytes, 8},
                                    {I::CountedPairs}, {I::RecordsEnd}, {I::Bytes, 6}};
// AC: K breaker states | U user-defined status bytes
inline constexpr I kAcStatus[] = {kFlagAndUnits, {I::CountedBytes}, {I::CountedBytes}};
// AC: lines x (ua ub uc f alarms, M further bytes, Q user-defined bytes) | ia ib ic alarms
inline constexpr I kAcAlarms[] = {kFlagAndUnits,     {I::Records},      {I::Bytes, 4},
                                  {I::CountedBytes}, {I::CountedBytes}, {I::RecordsEnd},
                                  {I::Bytes, 3}};
// Rectifiers: output voltage | modules x (current, P user values)
inline constexpr I kRcAnalogue[] = {kFlag,         {I::Bytes, 2},     {I::Records},
                                    {I::Bytes, 2}, {I::CountedPairs}, {I::RecordsEnd}};
// Rectifiers: modules x (on/off, limit, charge mode, U user-defined status bytes)
inline constexpr I kRcStatus[] = {
    kFlag, {I::Records}, {I::Bytes, 3}, {I::CountedBytes}, {I::RecordsEnd}};
// Rectifiers: modules x (fault, U user-defined alarm bytes)
inline constexpr I kRcAlarms[] = {
    kFlag, {I::Records}, {I::Bytes, 1}, {I::CountedBytes}, {I::RecordsEnd}};
// DC: voltage, load | m battery-group currents | n branch currents | p user-defined values
inline constexpr I kDcAnalogue[] = {
    kFlagAndUnits, {I::Bytes, 4}, {I::CountedPairs}, {I::CountedPairs}, {I::CountedPairs}};
// DC: voltage alarm | am m-list alarm bytes | ap user-defined alarm bytes
inline constexpr I kDcAlarms[] = {
    kFlagAndUnits, {I::Bytes, 1}, {I::CountedBytes}, {I::CountedBytes}};
// DC parameters: upper and lower voltage limits, charge current limit | battery groups |
// float and equalise voltage, temperature compensation, capacity | p user-defined parameters
inline constexpr I kDcParameters[] = {
    kFlagAndUnits, {I::Bytes, 6}, {I::Bytes, 1}, {I::Bytes, 8}, {I::CountedPairs}};
} // namespace layout_items

template <size_t N>
constexpr ReplyLayout make_layout(uint8_t group, uint8_t command, const LayoutItem (&items)[N]) {
    return {group, command, items, N};
}

// Every reply whose layout its command fixes. Replies to a set-parameter or remote-control
// command are not here: what they carry is the power system's own.
inline constexpr ReplyLayout kReplyLayouts[] = {
    make_layout(group::kAc, command::kAnalogue, layout_items::kAcAnalogue),
    make_layout(group::kAc, command::kStatus, layout_items::kAcStatus),
    make_layout(group::kAc, command::kAlarms, layout_items::kAcAlarms),
    make_layout(group::kRectifiers, command::kAnalogue, layout_items::kRcAnalogue),
    make_layout(group::kRectifiers, command::kStatus, layout_items::kRcStatus),
    make_layout(group::kRectifiers, command::kAlarms, layout_items::kRcAlarms),
    make_layout(group::kDc, command::kAnalogue, layout_items::kDcAnalogue),
    make_layout(group::kDc, command::kAlarms, layout_items::kDcAlarms),
    make_layout(group::kDc, command::kParameters, layout_items::kDcParameters),
};

// The layout of the reply to (group, command); nullptr when the command does not fix one.
constexpr const ReplyLayout *reply_layout(uint8_t group, uint8_t command) {
    for (const ReplyLayout &layout : kReplyLayouts)
        if (layout.group == group && layout.command == command)
            return &layout;
    return nullptr;
}

namespace detail {

// The item after the RecordsEnd that closes the records whose items start at `body`.
constexpr size_t end_of_records(const ReplyLayout &layout, size_t body) {
    while (body < layout.count && layout.items[body].kind != LayoutItem::RecordsEnd)
        ++body;
    return body + 1;
}

// Walks the items from `item` over `info` from `pos` and returns the position after them, or -1
// when a count byte lies outside INFO. Stops after the RecordsEnd that closes the walk's own
// records (records do not nest).
constexpr long walk_items(const ReplyLayout &layout, size_t &item, const uint8_t *info, long len,
                          long pos) {
    while (item < layout.count) {
        const LayoutItem it = layout.items[item++];
        if (it.kind == LayoutItem::RecordsEnd)
            return pos;
        if (it.kind == LayoutItem::Bytes) {
            pos += it.size;
            continue;
        }
        if (pos < 0 || pos >= len)
            return -1; // the count byte itself is missing
        const unsigned n = info[pos++];
        if (it.kind == LayoutItem::CountedBytes)
            pos += n;
        else if (it.kind == LayoutItem::CountedPairs)
            pos += 2L * n;
        else { // Records: the same items once per record, then on past their end
            const size_t body = item;
            item = end_of_records(layout, body);
            for (unsigned r = 0; r < n && pos >= 0; ++r) {
                size_t inner = body;
                pos = walk_items(layout, inner, info, len, pos);
            }
            if (pos < 0)
                return -1;
        }
    }
    return pos;
}

} // namespace detail

// The INFO length a reply of `layout` with these counts has; -1 when a count byte lies beyond
// the INFO received (so no length can fit).
constexpr long expected_info_length(const ReplyLayout &layout, const uint8_t *info, long len) {
    size_t item = 0;
    return detail::walk_items(layout, item, info, len, 0);
}

// Whether `len` INFO bytes are what `layout` gives for their own counts.
constexpr bool fits_layout(const ReplyLayout &layout, const uint8_t *info, long len) {
    return expected_info_length(layout, info, len) == len;
}

} // namespace protocol
