#ifndef ORVO_WORKER_PAGE_QENGINEGAPS_H
#define ORVO_WORKER_PAGE_QENGINEGAPS_H

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWebPage>

class QMyNetworkAccessManager;

// What a page needed that the WebKit engine lacks, gathered while the page
// loads and runs: its scripts' errors ("script error: " and the engine's
// message, for a script that failed to parse or threw), module scripts
// and import maps in its document ("module script"), and CSS grid or gap
// in its style sheets ("CSS grid", "CSS gap": in style elements and
// attributes, and in each linked style sheet as it comes). Each gap is
// listed once, in the order found, MaxGaps at most.
class QEngineGaps : public QObject {
    Q_OBJECT

public:
    static constexpr int MaxGaps = 8;

    QEngineGaps(QWebPage* page, QMyNetworkAccessManager* network, QObject* parent);

    // The gaps found so far and those the document shows now.
    QStringList Found();

    // The CSS gaps in a style sheet's or a style attribute's text.
    static QStringList InStyle(const QString& text);

private slots:
    void OnConsoleMessage(QWebPage::MessageSource source, QWebPage::MessageLevel level, const QString& message,
                          int lineNumber, const QString& sourceId);
    void OnStyleSheet(const QByteArray& text);

private:
    void Add(const QStringList& found);

    QPointer<QWebPage> page;
    QStringList gaps;
};

#endif
