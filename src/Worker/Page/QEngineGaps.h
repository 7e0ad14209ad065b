#ifndef ORVO_WORKER_PAGE_QENGINEGAPS_H
#define ORVO_WORKER_PAGE_QENGINEGAPS_H

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWebPage>

class QMyNetworkAccessManager;

// What a page needed that the WebKit engine lacks and today's browsers
// have, gathered while the page loads and runs:
//  - its scripts' errors that come of such a lack ("script error: " and
//    the engine's message): a script that failed to parse, unless the
//    page's scripts show broken text (HTML or HTML-escaped text where
//    script was expected, a script cut short), which fails them on every
//    engine; a global that today's browsers define and the engine lacks
//    (fetch, Proxy, ...); a method that they have and it lacks (padStart,
//    flat, ...). A page's own missing library is not a lack of the
//    engine's.
//  - module scripts and import maps in its document ("module script");
//  - CSS in its style sheets (in style elements and attributes, and in
//    each linked style sheet as it comes) that the engine drops: grid,
//    gap, aspect-ratio, the :is, :where and :has selectors, clamp, min and
//    max, inset (each named, as "CSS grid").
// Each gap is listed once, in the order found, MaxGaps at most.
class QEngineGaps : public QObject {
    Q_OBJECT

public:
    static constexpr int MaxGaps = 8;

    QEngineGaps(QWebPage* page, QMyNetworkAccessManager* network, QObject* parent);

    // The gaps found so far and those the document shows now.
    QStringList Found();

    // The CSS gaps in a style sheet's or a style attribute's text.
    static QStringList InStyle(const QString& text);

    // What a script error, as the engine reports it, tells: nothing of the
    // engine, a syntax it may lack, an API it lacks, or broken text.
    enum class ScriptError { Other, Syntax, Api, BrokenText };
    static ScriptError Classify(const QString& error);

private slots:
    void OnConsoleMessage(QWebPage::MessageSource source, QWebPage::MessageLevel level, const QString& message,
                          int lineNumber, const QString& sourceId);
    void OnStyleSheet(const QByteArray& text);

private:
    void Add(const QStringList& found);

    QPointer<QWebPage> page;
    // Syntax errors apart: they count only when no script showed broken
    // text.
    QStringList syntaxErrors;
    bool brokenText = false;
    QStringList gaps;
};

#endif
