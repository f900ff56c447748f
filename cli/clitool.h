#pragma once

#include <QStringList>
#include <QTextStream>

#include "messages/messageservice.h"
#include "protocol/unitimage.h"
#include "protocol/unitview.h"

namespace meridan::cli {

enum ExitCode {
    ExitOk = 0,
    ExitLinkFailure = 1,
    ExitBadInput = 2,
    ExitPortUnavailable = 3,
    ExitDifferences = 4,
};

// Messages of the link go to stderr as "Title: text". Questions are answered "Cancel".
class StreamMessages final : public MessageService {
  public:
    explicit StreamMessages(QTextStream& err) : err_(err) {}
    MessageResult show(const QString& text, const QString& title, MessageIcon icon,
                       MessageButtons buttons) override;
    int shown() const { return shown_; }

  private:
    QTextStream& err_;
    int shown_ = 0;
};

// The unit as a table a person can read.
QString formatUnitTable(const UnitImage& unit, const MemoryUnitView& view);

// The whole command-line tool; arguments without the program name.
int runCli(const QStringList& arguments, QTextStream& out, QTextStream& err);

}  // namespace meridan::cli
