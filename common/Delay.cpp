// SPDX-License-Identifier: Apache-2.0
#include "Delay.h"

#include <QCoreApplication>
#include <QThread>

namespace kx {

void Delay(int milliseconds)
{
    for (int round = 0; round < milliseconds / 10; ++round) {
        QThread::msleep(10);
        QCoreApplication::processEvents();
    }
}

} // namespace kx
