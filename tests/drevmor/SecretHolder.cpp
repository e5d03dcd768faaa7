// SPDX-License-Identifier: Apache-2.0
// A small program that imports a PKCS#12 file through libDrevmor.so the way the manager does,
// then waits, so that a test can take a core of it and look for what the library still holds.
//
//     drevmor-secret-holder MODULE FILE CONTAINER
//
// Reads three lines from standard input: the user PIN, the file's password, and a control text
// that the program deliberately keeps (so the test can show its search finds what is there). Its
// own copies of the PIN and password are wiped once used. Writes "ready R1 R2 R3 R4\n" (the
// results of login, parse, container creation and import) and waits for standard input to close.
#include "drevmor.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// One line of standard input, read with read(2) so that no stdio buffer keeps a copy.
bool readLine(char* buffer, size_t capacity)
{
    size_t used = 0;
    while (used + 1 < capacity) {
        char c = 0;
        if (read(0, &c, 1) != 1)
            return false;
        if (c == '\n')
            break;
        buffer[used++] = c;
    }
    buffer[used] = 0;
    return true;
}

char g_control[256];

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
        return 2;
    // The test's gcore is no parent of ours.
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    char pin[256] = {};
    char password[256] = {};
    if (!readLine(pin, sizeof pin) || !readLine(password, sizeof password) || !readLine(g_control, sizeof g_control))
        return 3;

    int results[4] = {-1, -1, -1, -1};
    if (init_pkcs11(argv[1]) == 0) {
        char buffer[DRV_FIND_BUFFER_SIZE];
        int count = 32;
        if (token_find(buffer, &count) == 0 && count > 0 && token_connect(0) == 0) {
            int left = 0;
            results[0] = token_login(0, pin, &left);
            int certs = 0;
            results[1] = pkcs12_file_parse(argv[2], password, &certs);
            explicit_bzero(password, sizeof password);
            results[2] = container_create_new(0, argv[3]);
            results[3] = pkcs12_import_certificate(0, argv[3], DRV_KEYSPEC_EXCHANGE, 0);
        }
    }
    explicit_bzero(pin, sizeof pin);
    explicit_bzero(password, sizeof password);

    const std::string ready = "ready " + std::to_string(results[0]) + " " + std::to_string(results[1]) + " " +
                              std::to_string(results[2]) + " " + std::to_string(results[3]) + "\n";
    if (write(1, ready.data(), ready.size()) != static_cast<ssize_t>(ready.size()))
        return 4;
    char rest = 0;
    while (read(0, &rest, 1) == 1) {
    }
    uninit_pkcs11();
    return g_control[0] != 0 ? 0 : 5;
}
