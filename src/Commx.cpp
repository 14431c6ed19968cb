// SPDX-License-Identifier: MIT
#include "Commx.h"
