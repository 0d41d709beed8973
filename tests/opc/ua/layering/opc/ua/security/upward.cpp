// SPDX-License-Identifier: GPL-3.0-or-later
// Points upward on purpose: the layering check must refuse it.
#include "opc/errors.h"
#include "opc/automation.h"
#include "toolkit/listview.h"
#include <openssl/evp.h>
