// SPDX-License-Identifier: MIT
#include "PageTable.h"

#include "SendCells.h"

namespace core
{

void EchoAsReceived(const PageKind &page, std::string &out, unsigned char b)
{
    out += page.cells.view(b);
}

const PageTable &StandardPages()
{
    static const PageTable pages({
        {"HEX", HexCells(), EchoAsReceived, EchoAsReceived, "HEX.txt", "HEXPAGE", "TabSheet1", "mnuHEX",
         "Memo1"},
        {"DEC", DecCells(), EchoAsReceived, EchoAsReceived, "DEC.txt", "DECPAGE", "TabSheet2", "mnuDEC",
         "Memo2"},
        {"CHAR", CharCells(), StringSendCharCell, MixSendCharCell, "CHAR.txt", "CHARPAGE", "TabSheet3",
         "mnuCHAR", "Memo3"},
        {"TEXT", TextCells(), StringSendTextCell, MixSendTextCell, "TEXT.txt", "TEXTPAGE", "TabSheet4",
         "mnuTEXT", "Memo4"},
    });
    return pages;
}

const RxCellTable &RxCells(int page)
{
    return StandardPages()[page].cells;
}

} // namespace core
