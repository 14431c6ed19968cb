// SPDX-License-Identifier: MIT
#include "MixSend.h"

#include "Cells.h"
#include "Int32Text.h"

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

// One normal-form item (already trimmed and, in the list form, converted) into the plan.
void PlanItem(MixSendPlan &plan, std::string_view t, bool listText)
{
    const auto quote = t.find('"');
    if (quote != std::string_view::npos) {
        if (quote + 1 >= t.size())
            return; // a lone quote at the end sends nothing
        plan.sent = true;
        std::string_view body = t.substr(quote + 1);
        body = body.substr(0, body.find('"'));
        if (body.empty())
            return; // "" echoes the bare tag but has nothing to hand over
        plan.calls.push_back({std::string(body)});
        for (const char c : body)
            AppendMixSendCells(plan.cells, static_cast<unsigned char>(c));
        return;
    }
    if (const auto value = ParseInt32(t); value && *value != -1) {
        const auto b = static_cast<unsigned char>(static_cast<std::uint32_t>(*value) & 0xFFu);
        plan.sent = true;
        plan.calls.push_back({std::string(1, static_cast<char>(b))});
        AppendMixSendCells(plan.cells, b);
        return;
    }
    if (listText) {
        plan.sent = true;
        plan.calls.push_back({std::string(t)});
        for (const char c : t)
            AppendMixSendCells(plan.cells, static_cast<unsigned char>(c));
    }
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

MixSendPlan PlanMixSend(std::string_view text, MixForm form, MixType type)
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
    for (int i = 0; i < count; ++i) {
        std::string_view t = TrimLow(items[static_cast<std::size_t>(i)]);
        if (list) {
            converted = ConvertListPiece(t, type);
            t = converted;
        }
        if (t.empty())
            continue;
        PlanItem(plan, t, listText);
    }
    return plan;
}

} // namespace core
