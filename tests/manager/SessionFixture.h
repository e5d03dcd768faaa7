// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "../common/KeyWait.h"

#include "common/AppInfo.h"
#include "common/UserConfig.h"
#include "manager/KeySession.h"

#include <QTest>

namespace kx::test {

// A key session over the virtual keys of `world`, with the token library open and the keys listed.
class OpenSession
{
public:
    OpenSession()
    {
        TAPPInfo app;
        ReadAPPInfo(APPInfoPath(), app);
        session.setAppInfo(app);
        session.setUserConfig(UserConfigPath(app.CfgPath), TUserConfigInfo{});
        session.openLibrary([this](int result) { opened = result; });
        static_cast<void>(QTest::qWaitFor([this] { return opened != -1; }, 10000));
        if (opened == 0) {
            listed = refresh();
        }
        idle();
    }
    // Lists the keys again and waits for the list.
    int refresh()
    {
        int result = -1;
        bool done = false;
        session.refresh([&](int code) {
            result = code;
            done = true;
        });
        static_cast<void>(QTest::qWaitFor([&] { return done; }, 10000));
        return result;
    }
    bool idle() { return test::keysIdle(session.service()); }
    PinState pinState(int keyIndex) { return test::pinState(session.service(), keyIndex); }
    KeySession session;
    int opened = -1;
    int listed = -1;
};

} // namespace kx::test
