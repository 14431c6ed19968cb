// SPDX-License-Identifier: MIT
#include "MixSend.h"

#include "Cells.h"
#include "Checksums.h"
#include "Int32Text.h"

#include <optional>

namespace core
{
namespace
{

bool HasTag(std::string_view t)
{
    return t.find("[IN ]") != std::string_view::npos || t.find("[OUT]") != std::string_view::npos;
}

void EraseFirst(std::string &text, std::string_view what)
{
    const auto pos = text.find(what);
    if (pos != std::string::npos)
        text.erase(pos, what.size());
}

// The CHAR and TEXT pages' tags are removed once each, wherever they stand.
std::string StripPageTags(std::string_view text)
{
    std::string rest(text);
    EraseFirst(rest, kOutTag);
    EraseFirst(rest, kInTag);
    return rest;
}

std::string ConvertCharPiece(std::string_view piece)
{
    if (piece.size() == 1)
        return std::to_string(static_cast<unsigned char>(piece.front()));
    if (piece.size() >= 2) {
        for (int b = 0; b < 0x20; ++b) {
            if (piece == CtrlCharNames[b])
                return std::to_string(b);
        }
    }
    // Unknown names, "_sp" and empty pieces all stand for a blank.
    return "0x20";
}

// The bytes an item adds: the number of bytes planned so far, and where the bytes the next
// checksum covers begin.
struct Planned {
    std::size_t bytes = 0;
    std::size_t frameStart = 0;
};

void PlanBytes(MixSendPlan &plan, Planned &planned, std::string bytes)
{
    plan.sent = true;
    for (const char c : bytes)
        AppendMixSendCells(plan.cells, static_cast<unsigned char>(c));
    planned.bytes += bytes.size();
    plan.calls.push_back({std::move(bytes)});
}

// "{?n}": the n-th byte a wildcard of a reply's match took, when there is one.
std::optional<unsigned char> Capture(std::string_view t, const std::vector<std::uint8_t> *captures)
{
    if (!captures || t.size() < 4 || t.substr(0, 2) != "{?" || t.back() != '}')
        return std::nullopt;
    std::size_t n = 0;
    for (const char c : t.substr(2, t.size() - 3)) {
        if (c < '0' || c > '9' || n > captures->size())
            return std::nullopt;
        n = n * 10 + static_cast<std::size_t>(c - '0');
    }
    if (n == 0 || n > captures->size())
        return std::nullopt;
    return (*captures)[n - 1];
}

// One normal-form item (already trimmed and, in the list form, converted) into the plan.
void PlanItem(MixSendPlan &plan, Planned &planned, std::string_view t, bool normal, bool listText,
              const std::vector<std::uint8_t> *captures)
{
    // A checksum over the line's bytes since its start or since the last checksum's bytes, so
    // that one line can carry several frames. Before, such an item was no number and was skipped:
    // a line that was valid then sends the same bytes now.
    if (const std::optional<Checksum> sum = normal ? ChecksumItem(t) : std::nullopt) {
        const std::string line = plan.bytes();
        PlanBytes(plan, planned, ChecksumBytes(*sum, std::string_view(line).substr(planned.frameStart)));
        planned.frameStart = planned.bytes;
        return;
    }
    if (const std::optional<unsigned char> b = normal ? Capture(t, captures) : std::nullopt) {
        PlanBytes(plan, planned, std::string(1, static_cast<char>(*b)));
        return;
    }
    const auto quote = t.find('"');
    if (quote != std::string_view::npos) {
        if (quote + 1 >= t.size())
            return; // a lone quote at the end sends nothing
        plan.sent = true;
        std::string_view body = t.substr(quote + 1);
        body = body.substr(0, body.find('"'));
        if (body.empty())
            return; // "" echoes the bare tag but has nothing to hand over
        PlanBytes(plan, planned, std::string(body));
        return;
    }
    if (const auto value = ParseInt32(t); value && *value != -1) {
        const auto b = static_cast<unsigned char>(static_cast<std::uint32_t>(*value) & 0xFFu);
        PlanBytes(plan, planned, std::string(1, static_cast<char>(b)));
        return;
    }
    if (listText)
        PlanBytes(plan, planned, std::string(t));
}

} // namespace

MixForm MixFormFromIndex(int rgSelectIndex)
{
    return rgSelectIndex == 1 ? MixForm::List : MixForm::Normal;
}

MixType MixTypeFromIndex(int rgTypeIndex)
{
    switch (rgTypeIndex) {
    case 0:
        return MixType::Hex;
    case 2:
        return MixType::Char;
    default:
        return rgTypeIndex >= 3 ? MixType::Text : MixType::Dec;
    }
}

namespace
{

// The splitter behind SplitMixText. Without `quotes` a double quote is a byte like any other: a
// CHAR page shows the byte 0x22 as a lone quote, which must not join the rest of the line into
// one item.
int Split(std::string_view text, char separator, std::vector<std::string_view> &store, int maxCount,
          bool quotes)
{
    if (text.empty())
        return 0;
    // A line feed ends the text. (Dropping only the 49 bytes after it and gluing on whatever
    // follows would send a text nobody typed.)
    if (const auto lf = text.rfind('\n'); lf != std::string_view::npos)
        text = text.substr(0, lf);

    store.clear();
    int count = 0;
    bool outsideQuotes = true;
    std::size_t j = 0;
    while (j < text.size()) {
        if (text[j] != separator) {
            std::size_t k = j;
            for (; k < text.size(); ++k) {
                if (quotes && text[k] == '"')
                    outsideQuotes = !outsideQuotes;
                else if (text[k] == separator && outsideQuotes)
                    break;
            }
            store.push_back(text.substr(j, k - j));
            ++count;
            j = k;
        }
        if (count >= maxCount)
            break;
        ++j;
    }
    return count;
}

} // namespace

int SplitMixText(std::string_view text, char separator, std::vector<std::string_view> &store, int maxCount)
{
    return Split(text, separator, store, maxCount, true);
}

std::string ConvertListPiece(std::string_view piece, MixType type)
{
    if (HasTag(piece))
        return {};
    switch (type) {
    case MixType::Hex:
        return "0x" + std::string(piece);
    case MixType::Char:
        return ConvertCharPiece(piece);
    case MixType::Dec:
    case MixType::Text:
        break;
    }
    return std::string(piece);
}

std::string MixSendPlan::bytes() const
{
    std::string all;
    for (const auto &call : calls)
        all += call.bytes;
    return all;
}

MixSendPlan PlanMixSend(std::string_view text, MixForm form, MixType type,
                        const std::vector<std::uint8_t> *captures)
{
    MixSendPlan plan;
    std::vector<std::string_view> items;
    items.reserve(16);
    std::string stripped; // owns the text the items view in the CHAR and TEXT list forms
    int count = 0;
    if (form == MixForm::Normal) {
        count = SplitMixText(text, ',', items, kMixItemMax);
    } else if (type == MixType::Hex || type == MixType::Dec) {
        count = SplitMixText(text, ' ', items, kMixItemMax);
    } else {
        stripped = StripPageTags(text);
        if (type == MixType::Char) {
            count = Split(stripped, ' ', items, kMixItemMax, false);
        } else {
            items.assign(1, stripped); // one piece, not split and of any length
            count = 1;
        }
    }
    plan.itemLimit = count >= kMixItemMax;

    const bool list = form == MixForm::List;
    const bool listText = list && type == MixType::Text;
    std::string converted;
    Planned planned;
    for (int i = 0; i < count; ++i) {
        std::string_view t = TrimLow(items[static_cast<std::size_t>(i)]);
        if (list) {
            converted = ConvertListPiece(t, type);
            t = converted;
        }
        if (t.empty())
            continue;
        PlanItem(plan, planned, t, !list, listText, captures);
    }
    return plan;
}

} // namespace core
