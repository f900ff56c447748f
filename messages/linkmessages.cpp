#include "linkmessages.h"

#include "texts.h"

namespace meridan {

QString LinkMessages::describe(const LinkFailure& f) {
    switch (f.error) {
        case LinkError::NoReply:
            return text::ConnectionAborted;
        case LinkError::NoConnection:
            return text::ConnectionNotEstablished;
        case LinkError::PortNotSelected:
            return text::NoComPortSelected;
        case LinkError::PortNotOpened:
            return text::portOpenFailed(f.device, f.reason);
        case LinkError::PortLost:
            return text::portLost(f.device);
        case LinkError::Overrun:
            return text::Overrun;
        case LinkError::ReceiveOverflow:
            return text::RxOver;
    }
    return {};
}

QString LinkMessages::deviceServerDelayText(const QString& device, double seconds, bool brief) {
    // A full read waits for about 180 replies, the lock monitor for two an exchange.
    constexpr int RepliesOfARead = 181;
    if (brief) {
        return QStringLiteral(
                   "%1 adds %2 ms to each reply (a read takes %3 s longer): on ser2net "
                   "set chardelay: false and tcp(nodelay)")
            .arg(device)
            .arg(seconds * 1000.0, 0, 'f', 1)
            .arg(seconds * RepliesOfARead, 0, 'f', 1);
    }
    return QStringLiteral(
               "The device server at %1 adds %2 ms to each reply of the unit: a full read takes "
               "%3 s longer, the lock monitor makes fewer rounds. On ser2net set "
               "\"chardelay: false\" in the connection's options and use \"tcp(nodelay)\" in "
               "its accepter; other device servers call this packing or force-transmit time.")
        .arg(device)
        .arg(seconds * 1000.0, 0, 'f', 1)
        .arg(seconds * RepliesOfARead, 0, 'f', 1);
}

void LinkMessages::report(const LinkFailure& f) {
    switch (f.error) {
        case LinkError::NoReply:
        case LinkError::NoConnection:
            messages_.restoreCursor();
            messages_.show(describe(f), text::ConnectError, MessageIcon::Critical,
                           MessageButtons::Ok);
            return;
        case LinkError::PortNotSelected:
        case LinkError::PortLost:
            messages_.restoreCursor();
            [[fallthrough]];
        case LinkError::PortNotOpened:
            messages_.show(describe(f), text::ComPortError, MessageIcon::Critical,
                           MessageButtons::Ok);
            return;
        case LinkError::Overrun:
        case LinkError::ReceiveOverflow:
            messages_.show(describe(f), title_, MessageIcon::None, MessageButtons::Ok);
            return;
    }
}

}  // namespace meridan
