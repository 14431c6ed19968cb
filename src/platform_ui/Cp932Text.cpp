// SPDX-License-Identifier: MIT
#include "Cp932Text.h"

#include "Cp932.h"

QString FromCp932(std::string_view bytes)
{
    return QString::fromStdString(platform::Cp932ToUtf8(bytes));
}

std::optional<std::string> ToCp932(const QString &text)
{
    return platform::Utf8ToCp932(text.toStdString());
}

QString TrimLow(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin).unicode() <= 0x20)
        ++begin;
    while (end > begin && text.at(end - 1).unicode() <= 0x20)
        --end;
    return text.mid(begin, end - begin);
}
