// SPDX-License-Identifier: MIT
// The "[OUT]  " echo of the two kinds of send. Each sender formats its own cells, and they differ
// on purpose: the string send shows a blank as four blanks on the CHAR page and puts control bytes
// raw on the TEXT page (so CR LF of the delimiter stand in the line), while the mixed send shows a
// blank as " _sp" and control bytes as "." so that its lines can be picked up and sent again.
// The cells are byte strings (CP932) without the tag: AppendOutLine puts "[OUT]  " in front.
#pragma once

#include "PageTable.h"

#include <string>
#include <string_view>
#include <vector>

namespace core
{

// One per page of the table, in its order: the order the echo lines are added in.
using EchoCells = std::vector<std::string>;
EchoCells NoEchoCells(const PageTable &pages = StandardPages());

void AppendStringSendCells(EchoCells &cells, unsigned char b, const PageTable &pages = StandardPages());
void AppendMixSendCells(EchoCells &cells, unsigned char b, const PageTable &pages = StandardPages());
EchoCells StringSendCells(std::string_view bytes, const PageTable &pages = StandardPages());
EchoCells MixSendCells(std::string_view bytes, const PageTable &pages = StandardPages());

// The cells of the program's pages, for its page table.
void StringSendCharCell(const PageKind &page, std::string &out, unsigned char b);
void StringSendTextCell(const PageKind &page, std::string &out, unsigned char b);
void MixSendCharCell(const PageKind &page, std::string &out, unsigned char b);
void MixSendTextCell(const PageKind &page, std::string &out, unsigned char b);

// The bytes of the string send: the text exactly as typed, then the delimiter of RGDelimiter's
// index (1: CR, 2: CR LF, anything else: none). No length limit: a long text goes whole.
std::string_view DelimiterBytes(int delimiterIndex);
std::string StringSendBytes(std::string_view text, int delimiterIndex);

} // namespace core
