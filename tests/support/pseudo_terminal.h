// Pseudo-terminals for suites that play a serial device or a host.
#pragma once

#include <pty.h>
#include <termios.h>

#include <stdexcept>
#include <string>

namespace snt_test {

// Puts the terminal `fd` in raw mode: bytes pass unchanged, one at a time.
inline void make_raw(int fd)
{
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
}

// Opens a pseudo-terminal pair with a raw slave; returns the slave's name,
// the port a program under test is given.
inline std::string open_raw_pty(int &master, int &slave)
{
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    make_raw(slave);
    return name;
}

} // namespace snt_test
