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
    // The mouse pointer goes back to the arrow before a failure is reported.
    virtual void restoreCursor() {}
};

}  // namespace meridan
