// SPDX-License-Identifier: MIT
// The display pages, one entry each, in the order of their tabs: what the page is called, how a
// received and a sent byte look on it, the name of its file, its key in the settings file and the
// object names of its tab, its menu item and its view. Code that goes over the pages goes over a
// table; the program's own is StandardPages(), the four pages HEX, DEC, CHAR and TEXT.
#pragma once

#include "Cells.h"

#include <string>
#include <string_view>
#include <vector>

namespace core
{

struct PageKind;
// Appends the cell of one sent byte.
using EchoCell = void (*)(const PageKind &page, std::string &out, unsigned char b);

struct PageKind {
    std::string name;        // "HEX"
    RxCellTable cells;       // how a received byte looks
    EchoCell stringEcho;     // how a byte of the string send looks
    EchoCell mixEcho;        // how a byte of the mixed send looks (SendCells.h says why they differ)
    std::string filePart;    // "HEX.txt": the page's file is "BackLog" and this
    std::string settingsKey; // its tab's visibility, in section [DISP]
    std::string tabName;     // the object names of its tab, menu item and view
    std::string menuName;
    std::string viewName;
};

class PageTable
{
  public:
    explicit PageTable(std::vector<PageKind> pages) : m_pages(std::move(pages)) {}
    int count() const { return static_cast<int>(m_pages.size()); }
    const PageKind &operator[](int i) const { return m_pages[static_cast<std::size_t>(i)]; }
    std::vector<PageKind>::const_iterator begin() const { return m_pages.begin(); }
    std::vector<PageKind>::const_iterator end() const { return m_pages.end(); }
    // The pages as a list, for a test that adds one of its own.
    const std::vector<PageKind> &kinds() const { return m_pages; }

  private:
    std::vector<PageKind> m_pages;
};

const PageTable &StandardPages();

// Where the program's own pages stand in StandardPages(): the traffic log writes the HEX and CHAR
// cells of a line, the statistics show the TEXT page's last line.
enum PageIndex : int { kPageHex = 0, kPageDec = 1, kPageChar = 2, kPageText = 3 };
inline constexpr int kPageCount = 4;

// The receive cells of page i of StandardPages().
const RxCellTable &RxCells(int page);
inline std::string_view RxCell(int page, std::uint8_t b)
{
    return RxCells(page).view(b);
}

// The echo cells every page shares: the page's own receive cell.
void EchoAsReceived(const PageKind &page, std::string &out, unsigned char b);

} // namespace core
