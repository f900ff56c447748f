#pragma once

#include <QString>

namespace meridan {

enum class MessageIcon { None, Information, Question, Warning, Critical };
enum class MessageButtons { Ok, OkCancel, YesNo };
enum class MessageResult { Ok, Cancel, Yes, No };

// Everything the program tells the user in a modal box goes through here: the windows show a
// message box, the command-line tool prints to stderr, tests record and answer.
class MessageService {
  public:
    virtual ~MessageService() = default;
    virtual MessageResult show(const QString& text, const QString& title, MessageIcon icon,
                               MessageButtons buttons) = 0;
    // The link puts the mouse pointer back to the arrow before it reports a time-out.
    virtual void restoreCursor() {}
};

// The link's own texts, exactly as the user sees them.
namespace text {
inline const QString ConnectError = QStringLiteral("Connect Error");
inline const QString ConnectionAborted = QStringLiteral("Connection aborted!");
inline const QString ConnectionNotEstablished =
    QStringLiteral("Connection could not be established!");
inline const QString ComPortError = QStringLiteral("ComPortError");
inline const QString NoComPorts = QStringLiteral("No Com Ports available!");
inline const QString NoComPortSelected = QStringLiteral("No Com Port selected!");
inline const QString Overrun = QStringLiteral("Overrun!");
inline const QString RxOver = QStringLiteral("RXOver!");
QString portLost(const QString& device);
QString portOpenFailed(const QString& device, const QString& reason);
}  // namespace text

}  // namespace meridan
