// SPDX-License-Identifier: MIT
#include "Page.h"
