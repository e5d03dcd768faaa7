// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CliContext.h"

#include <QObject>

#include <memory>

namespace kx::cli {

// One run of a command: reads the settings, opens the token library through the key service,
// lists the keys, picks the key the command is for and runs the command; the event loop ends
// with the command's exit code.
class CliRunner : public QObject
{
    Q_OBJECT

public:
    explicit CliRunner(const CliOptions& options, QObject* parent = nullptr);
    ~CliRunner() override;

    // Starts the run from the event loop; QCoreApplication::exit follows with the exit code.
    void start();

private:
    void opened(int result);
    void listed();
    bool chooseKey();
    void runCommand();
    void end();

    const CliOptions& m_options;
    TAPPInfo m_app;
    KeyService* m_service;
    CliReport m_report;
    std::unique_ptr<CliContext> m_context;
};

} // namespace kx::cli
