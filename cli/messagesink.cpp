#include "messagesink.h"

#include <QStringList>

namespace meridan::cli {

Voice::Sentence::~Sentence() {
    stream_.flush();
    voice_.speak(text_, named_);
}

void Voice::speak(const QString& text, bool named) {
    // A message box breaks its lines at a carriage return; a terminal needs a line feed.
    QString lines = text;
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
        .replace(QLatin1Char('\r'), QLatin1Char('\n'));
    if (lines.endsWith(QLatin1Char('\n'))) lines.chop(1);
    const QStringList parts = lines.split(QLatin1Char('\n'));
    for (qsizetype k = 0; k < parts.size(); ++k) {
        ++lines_;
        // The lines after the first belong to the same message: only the first is named.
        if (err_) *err_ << (named && k == 0 ? "meridan-cli: " : "") << parts[k] << Qt::endl;
        if (onLine) onLine(parts[k]);
    }
}

MessageResult StreamMessages::show(const QString& text, const QString& title, MessageIcon,
                                   MessageButtons buttons) {
    voice_.put(title.isEmpty() ? text : title + QStringLiteral(": ") + text);
    return buttons == MessageButtons::Ok ? MessageResult::Ok : MessageResult::Cancel;
}

}  // namespace meridan::cli
