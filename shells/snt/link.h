// A byte link to a tester, as Device drives it: a serial port, or a board
// in this process in virtual time. The link keeps the clock the waits are
// measured on, so a virtual board's waits cost no wall-clock time.
#pragma once

#include <stdexcept>
#include <string>

#include "core/client/tester_client.h"

namespace snt {

// The port cannot be opened or used, or the device went quiet.
class PortError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The far end hung up: an unplugged adapter, a virtual board that stopped.
class PortClosed : public PortError {
public:
    using PortError::PortError;
};

class Link {
public:
    virtual ~Link() = default;

    // The port, as messages name it ("the device on ...").
    virtual const std::string &name() const = 0;
    // Sends the bytes; throws PortError when they cannot go.
    virtual void write(const std::string &bytes) = 0;
    // What has arrived, waiting for at least one byte until `deadline` on
    // now()'s clock; empty when nothing came. Throws PortClosed when the far
    // end has gone, PortError when the link fails.
    virtual std::string read(ClientTime deadline) = 0;
    // The link's clock, in microseconds.
    virtual ClientTime now() = 0;
};

} // namespace snt
