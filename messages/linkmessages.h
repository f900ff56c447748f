#pragma once

#include <QString>

#include "link/linkfailure.h"
#include "messageservice.h"

namespace meridan {

// Tells the user of the link's failures in the program's own words: "Connection aborted!"
// and "Connection could not be established!" (title "Connect Error"), the port's problems
// (title "ComPortError"), "Overrun!" and "RXOver!" (the application's title).
class LinkMessages final : public LinkReporter {
  public:
    explicit LinkMessages(MessageService& messages, QString applicationTitle = {})
        : messages_(messages), title_(std::move(applicationTitle)) {}
    void setApplicationTitle(const QString& title) { title_ = title; }

    void report(const LinkFailure& failure) override;

    // The text the user reads for a failure.
    static QString describe(const LinkFailure& failure);
    // What a serial device server that adds `seconds` to each reply costs, and what to change;
    // `brief`: in a line a status bar can show.
    static QString deviceServerDelayText(const QString& device, double seconds, bool brief = false);

  private:
    MessageService& messages_;
    QString title_;
};

}  // namespace meridan
