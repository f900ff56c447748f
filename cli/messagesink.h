#pragma once

#include <QString>
#include <QTextStream>
#include <functional>

#include "messages/messageservice.h"

namespace meridan::cli {

// What the tool says to the person running it, line by line: its own sentences as
// "meridan-cli: TEXT" on stderr, the link's messages as "Title: text", the lines listed under a
// headline as they are. Each line, without the tool's name, also goes to `onLine`: the fleet
// keeps what every unit said. Without a stream (a unit of a fleet) nothing is printed.
class Voice {
  public:
    explicit Voice(QTextStream* err) : err_(err) {}

    // One sentence of the tool, built with <<; said when the full expression ends.
    class Sentence {
      public:
        Sentence(Voice& voice, bool named) : voice_(voice), named_(named) {}
        ~Sentence();
        Sentence(const Sentence&) = delete;
        Sentence& operator=(const Sentence&) = delete;
        template <typename T>
        Sentence& operator<<(const T& value) {
            stream_ << value;
            return *this;
        }

      private:
        Voice& voice_;
        bool named_;
        QString text_;
        QTextStream stream_{&text_};
    };

    // "meridan-cli: " and the text.
    Sentence say() { return Sentence(*this, true); }
    // The text as it is: a line under a headline, a message of the link.
    Sentence put() { return Sentence(*this, false); }
    void say(const QString& text) { speak(text, true); }
    void put(const QString& text) { speak(text, false); }

    // A line on stderr that is not a message (a redrawn progress line ends before it).
    QTextStream* stream() const { return err_; }
    std::function<void(const QString& line)> onLine;
    int lines() const { return lines_; }

  private:
    void speak(const QString& text, bool named);

    QTextStream* err_;
    int lines_ = 0;
};

// The link's messages through the voice, as "Title: text". Questions are answered "Cancel".
class StreamMessages final : public MessageService {
  public:
    explicit StreamMessages(Voice& voice) : voice_(voice) {}
    MessageResult show(const QString& text, const QString& title, MessageIcon icon,
                       MessageButtons buttons) override;

  private:
    Voice& voice_;
};

}  // namespace meridan::cli
