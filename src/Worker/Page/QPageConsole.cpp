#include "Page/QPageConsole.h"

#include <algorithm>

QPageConsole::QPageConsole(QWebPage* page, int maxMessages, int maxBytes, QObject* parent)
    : QObject(parent), maxMessages(maxMessages), maxBytes(maxBytes) {
    connect(page, &QWebPage::consoleMessageReceived, this, &QPageConsole::OnMessage);
}

// A cut never splits a character: the bytes cut away are those of whole
// characters at the end.
void QPageConsole::OnMessage(QWebPage::MessageSource source, QWebPage::MessageLevel, const QString& message, int,
                             const QString&) {
    if (source != QWebPage::ConsoleAPIMessageSource || messages.size() >= maxMessages) {
        return;
    }
    QString text = message;
    while (text.toUtf8().size() > maxBytes) {
        text.chop(std::max(1, (text.toUtf8().size() - maxBytes) / 4));
        if (!text.isEmpty() && text.at(text.size() - 1).isHighSurrogate()) {
            text.chop(1);
        }
    }
    messages.append(text);
}
