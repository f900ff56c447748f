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
