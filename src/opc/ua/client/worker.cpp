// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/client/worker.h"

namespace opc::ua {

Worker::Worker() : m_context(new QObject)
{
    m_context->moveToThread(&m_thread);
    m_thread.setObjectName(QStringLiteral("opc.ua"));
    m_thread.start();
}

Worker::~Worker()
{
    QMetaObject::invokeMethod(m_context, [ctx = m_context] { delete ctx; }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

} // namespace opc::ua
