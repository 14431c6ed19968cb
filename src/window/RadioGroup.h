// SPDX-License-Identifier: MIT
// A radio group is a QGroupBox whose radio buttons are its items, in the order they were created.
// The program reads and sets the selection by index, as the stored settings hold it.
#pragma once

class QGroupBox;

// The index of the checked item, or -1 when none is checked.
int RadioItemIndex(const QGroupBox *group);
// Checks item `index`; an index below 0 clears the selection, one past the last item selects the
// last item (the stored delimiter 9 selects "CR+LF").
void SetRadioItemIndex(QGroupBox *group, int index);
