// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CliOptions.h"
#include "CliReport.h"

#include "common/AppInfo.h"
#include "keyservice/KeyService.h"
#include "keyservice/PinJobs.h"

#include <QObject>

#include <functional>

namespace kx::cli {

// What a command works with: the options, the key service with the library open and the keys
// listed, the key chosen (-1 for the commands over every key), the report, and `done`, which the
// command calls once, after it filled the report.
struct CliContext
{
    const CliOptions& options;
    const TAPPInfo& app;
    KeyService& service;
    CliReport& report;
    // The receiver of the command's jobs: their answers are dropped once it is gone.
    QObject* receiver = nullptr;
    int keyIndex = -1;
    std::function<void()> done;
};

// Reports a failed login (or check of the current PIN): tries left only for a PIN the key
// refused.
void ReportLoginFailure(CliReport& report, int result, int retriesLeft);

// Reports a login that failed or found the PIN locked; false (nothing reported) for a login that
// went through.
bool ReportedLoginFailure(CliReport& report, const LoginOutcome& login);

// Reports that the key left while the command worked on it, and ends the command.
void ReportKeyGone(CliContext& context);

// Runs `work` on the chosen key's lane; `done` gets its result on the thread of the event loop. A
// key that left, before the job or during it, is reported instead and ends the command.
template <typename Result>
void RunOnKey(CliContext& context, const QString& what, std::function<Result(KeyCall&)> work,
              std::function<void(Result&)> done)
{
    CliContext* c = &context;
    const bool posted = context.service.run<Result>(context.keyIndex, what, std::move(work), context.receiver,
                                                    [c, done = std::move(done)](Result& result, int index) {
                                                        if (index < 0) {
                                                            ReportKeyGone(*c);
                                                            return;
                                                        }
                                                        done(result);
                                                    });
    if (!posted) {
        ReportKeyGone(context);
    }
}

} // namespace kx::cli
