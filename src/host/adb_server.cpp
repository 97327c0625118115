// Starting and stopping the adb server the program needs.
#include "host/adb_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "host/host.h"

namespace adb_server {

namespace {

bool looked = false;
bool started = false;
bool (*look)(int port) = listening;

// A port number 1..65535 written in decimal digits only, else 0.
int port_number(const std::string &text)
{
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    int value = atoi(text.c_str());
    return value <= 65535 ? value : 0;
}

} // namespace

int port(void)
{
    if (const char *socket_text = getenv("ADB_SERVER_SOCKET"); socket_text && *socket_text) {
        std::string address(socket_text);
        if (address.rfind("tcp:", 0) != 0)
            return 0;
        address.erase(0, 4);
        // A server on another host is not this program's to start or stop.
        const size_t colon = address.rfind(':');
        if (colon != std::string::npos) {
            const std::string host = address.substr(0, colon);
            if (host != "localhost" && host != "127.0.0.1")
                return 0;
            address.erase(0, colon + 1);
        }
        return port_number(address);
    }
    if (const char *env = getenv("ANDROID_ADB_SERVER_PORT"); env && *env)
        return port_number(env);
    return 5037;
}

bool listening(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc;
    while ((rc = connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr))) != 0 &&
           errno == EINTR) {
    }
    close(fd);
    return rc == 0;
}

void ensure(void)
{
    if (looked)
        return;
    looked = true;
    const int at = port();
    // A server named in a way that cannot be looked at is someone else's.
    if (at == 0 || look(at))
        return;
    host::Reply reply = host::output(std::vector<std::string>{"adb", "start-server"}, 4096,
                                     host::Effect::reads, host::Io::log);
    // adb tells of the start on standard error, which goes into the log.
    started = reply.started() && reply.status == 0;
}

void reset(bool (*check)(int port))
{
    looked = false;
    started = false;
    look = check ? check : listening;
}

void stop_if_started(void)
{
    if (!started)
        return;
    started = false;
    host::output(std::vector<std::string>{"adb", "kill-server"}, 4096, host::Effect::reads,
                 host::Io::log);
}

} // namespace adb_server
