#pragma once

#include <QString>

namespace meridan {

// How the link to the unit failed. The link says what happened, with the device; what the
// user is told about it is decided elsewhere (messages/linkmessages).
enum class LinkError {
    NoReply,          // a data reply or "EN" did not come within 5 s
    NoConnection,     // no "OK" to the connection requests within 50 s
    PortNotSelected,  // a sequence was started on a port that is not open
    PortNotOpened,    // the port could not be opened (reason says why)
    PortLost,         // the port went away during the run
    Overrun,          // the port's receiver lost bytes
    ReceiveOverflow,  // the port's receive buffer overflowed
};

struct LinkFailure {
    LinkError error;
    QString device;
    QString reason;  // PortNotOpened: in use, missing, not a device...
};

// Told of every failure of the link, once, where it happens.
class LinkReporter {
  public:
    virtual ~LinkReporter() = default;
    virtual void report(const LinkFailure& failure) = 0;
};

}  // namespace meridan
