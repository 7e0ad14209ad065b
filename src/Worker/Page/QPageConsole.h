#ifndef ORVO_WORKER_PAGE_QPAGECONSOLE_H
#define ORVO_WORKER_PAGE_QPAGECONSOLE_H

#include <QJsonArray>
#include <QObject>
#include <QString>
#include <QWebPage>

// What a page's JavaScript logs through console (console.log, warn, error,
// ...), from now on, in order: the text of each message, MaxMessages at
// most (those past them are dropped), each cut at MaxBytes of UTF-8.
class QPageConsole : public QObject {
    Q_OBJECT

public:
    QPageConsole(QWebPage* page, int maxMessages, int maxBytes, QObject* parent);

    const QJsonArray& Messages() const { return messages; }

private slots:
    void OnMessage(QWebPage::MessageSource source, QWebPage::MessageLevel level, const QString& message,
                   int lineNumber, const QString& sourceId);

private:
    const int maxMessages;
    const int maxBytes;
    QJsonArray messages;
};

#endif
