// SPDX-License-Identifier: MIT
// The mixed send: one line of text turned into bytes. Numbers become single bytes, quoted strings
// go as their bytes, and in the list form a line written the way a display page shows bytes (as
// picked up from a page) goes out again as the same bytes.
//
// Everything here is byte strings (CP932); the window converts the send box text before calling.
// The result is a plan: the bytes of each item in order (the sender hands all of them to the
// component in one call), the echo cells and the two flags the sender acts on. Nothing is cut: an
// item of any length is kept whole.
#pragma once

#include "SendCells.h"
#include "TrimLow.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace core
{

// RGSelect: index 1 is the list form, any other index the normal form.
enum class MixForm { Normal, List };
// RGtype in the list form.
enum class MixType { Hex, Dec, Char, Text };

MixForm MixFormFromIndex(int rgSelectIndex);
// 0 HEX, 1 DEC, 2 CHAR, 3 and above TEXT. No selection (-1) splits at blanks and converts
// nothing, as DEC does.
MixType MixTypeFromIndex(int rgTypeIndex);

// The largest number of items one send takes; reaching it shows kItemLimitMessage.
constexpr int kMixItemMax = 1000;
inline constexpr std::string_view kItemLimitMessage = "一括送信できる分割数を超えています。";

// Splits `text` at `separator` outside double quotes into at most `maxCount` items, which keep
// their quotes and blanks; runs of separators give no empty items. A line feed in the text ends
// it: the last line feed and up to 49 bytes after it are dropped first. The items are views into
// `text`. Returns the number of items stored (0 for an empty text, the store then left alone).
int SplitMixText(std::string_view text, char separator, std::vector<std::string_view> &store, int maxCount);

// The bytes of one item: a number's byte, or a string's.
struct MixTransmit {
    std::string bytes;
    bool operator==(const MixTransmit &) const = default;
};

struct MixSendPlan {
    std::vector<MixTransmit> calls;
    EchoCells cells = NoEchoCells(); // per page; the echo line is kOutTag + cells
    bool sent = false;               // the pages get the echo lines (and an empty line each) only when set
    bool itemLimit = false;          // show kItemLimitMessage in the status bar; the items are sent anyway

    // All bytes of all calls in order, as they reach the wire.
    std::string bytes() const;
};

// Parses `text` under the form and type and plans what SendMixText transmits and echoes. The list
// form with CHAR splits at blanks without regard to double quotes, so that a picked-up CHAR line
// holding the byte 0x22 goes out as the same bytes.
// In the normal form an item "{SUM8}", "{CRC16MODBUS}" ... inserts that checksum (Checksums.h),
// and with `captures` (an automatic reply) "{?n}" inserts the n-th byte its match's wildcards took.
MixSendPlan PlanMixSend(std::string_view text, MixForm form, MixType type,
                        const std::vector<std::uint8_t> *captures = nullptr);

// The text that replaces one trimmed list-form piece before it is read as a normal-form item,
// or empty when the piece is to be dropped (it carries a "[IN ]" or "[OUT]" tag).
std::string ConvertListPiece(std::string_view piece, MixType type);

} // namespace core
