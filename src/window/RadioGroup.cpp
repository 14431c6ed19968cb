// SPDX-License-Identifier: MIT
#include "RadioGroup.h"

#include <QGroupBox>
#include <QRadioButton>

namespace
{

QList<QRadioButton *> Items(const QGroupBox *group)
{
    return group->findChildren<QRadioButton *>(Qt::FindDirectChildrenOnly);
}

} // namespace

int RadioItemIndex(const QGroupBox *group)
{
    const auto items = Items(group);
    for (qsizetype i = 0; i < items.size(); ++i)
        if (items[i]->isChecked())
            return static_cast<int>(i);
    return -1;
}

void SetRadioItemIndex(QGroupBox *group, int index)
{
    const auto items = Items(group);
    if (items.isEmpty())
        return;
    if (index >= items.size())
        index = static_cast<int>(items.size()) - 1;
    if (index >= 0) {
        items[index]->setChecked(true);
        return;
    }
    // Auto-exclusive buttons refuse to be unchecked one by one.
    for (QRadioButton *item : items) {
        item->setAutoExclusive(false);
        item->setChecked(false);
        item->setAutoExclusive(true);
    }
}
