// SPDX-License-Identifier: GPL-3.0-or-later
// Points upward on purpose: the layering check must refuse it.
#include "opc/ua/wire/binary.h"
#include "opc/ua/client/channel.h"
#include <openssl/evp.h>
