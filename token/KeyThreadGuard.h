// SPDX-License-Identifier: Apache-2.0
#pragma once

class QThread;

namespace kx {

// Keeps key calls off the window thread. A key answers in tens or hundreds of milliseconds and
// sometimes not at all, so the thread that paints the windows must never wait for one: every call
// of the token library and the SKF library runs as a job of the key service. The programs name
// their window thread here at start; a call made on it anyway is reported on the error output
// (once per function), and ends the process when KX2700_STRICT_KEY_THREAD is set, which the tests
// do, so that such a call cannot go unnoticed.
class KeyThreadGuard
{
public:
    // The thread on which no key call may be made; nullptr lifts the rule.
    static void forbid(QThread* thread);
    // Checks the calling thread before the call `function`.
    static void check(const char* function);

    // Lifts the rule on the calling thread while it lives: the programs' last steps at exit, when
    // no window is painted any more.
    class Exemption
    {
    public:
        Exemption();
        ~Exemption();
        Exemption(const Exemption&) = delete;
        Exemption& operator=(const Exemption&) = delete;

    private:
        bool m_previous;
    };
};

} // namespace kx
