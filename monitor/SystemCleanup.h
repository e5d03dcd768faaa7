// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

#include <sys/types.h>

namespace kx::mon {

// Ends this user's processes whose executable name is exactly `name`: with `force` they get
// SIGKILL, otherwise SIGTERM. Processes of other users and this process itself are never
// touched. The name is the file name of /proc/<pid>/exe; where that link cannot be read (a
// process that has dropped it), /proc/<pid>/comm is compared instead, which the kernel cuts
// to 15 characters, so only names of up to 15 characters match that way. Returns the number
// of processes signalled.
int EndUserProcesses(const QString& name, bool force);

// The executable name of process `pid` as EndUserProcesses compares it; empty when unknown.
QString ProcessExecutableName(pid_t pid);

// The real user id of process `pid` from /proc/<pid>/status; -1 when it cannot be read.
long ProcessRealUid(pid_t pid);

// The system's cached TLS state: the session cache and the URL cache header. Linux keeps no
// such system-wide cache for the user's programs (each TLS library caches in its own process),
// so the steps exist by name and do nothing.
void EmptyTlsSessionCache();
void IncrementUrlCacheHeader();

// Session-change notifications of the user's log-on session (lock, unlock, log-on, log-off).
// They cause no action in the monitor and there is no such registration here; the register
// step reports false, so nothing is unregistered at the end.
bool RegisterSessionNotification();
void UnregisterSessionNotification();

} // namespace kx::mon
