// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/automation.h"
#include "opc/errors.h"

#include <QTest>

// The statement must fail with exactly this OPC error number; the names
// are compared first so a mismatch reads well.
#define EXPECT_FAILS(expr, expected)                                                                                  \
    do {                                                                                                               \
        try {                                                                                                          \
            expr;                                                                                                      \
            QFAIL("no failure from: " #expr);                                                                          \
        } catch (const opc::OpcError &e) {                                                                             \
            QCOMPARE(opc::statusName(e.code()), opc::statusName(expected));                                           \
            QCOMPARE(e.code(), static_cast<int32_t>(expected));                                                        \
        }                                                                                                              \
    } while (0)

// What the browser lists after its last ShowBranches or ShowLeafs.
inline QStringList browserListing(OPCAutomation::OPCBrowser &b)
{
    QStringList names;
    for (int32_t i = 1; i <= b.Count(); ++i)
        names << b.Item(i);
    return names;
}
